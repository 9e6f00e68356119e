#pragma once

#include <QList>
#include <QString>

// The benchmark's one table: each figure beside its reference from the same run, their ratio,
// and the goal. Printed as Markdown, so that it can go into the README as it is.
class FigureTable
{
public:
    struct Row
    {
        QString figure;
        QString measured;
        QString reference;
        QString ratio;
        QString goal;
        // Empty when the figure has no goal of its own.
        QString met;
    };

    void add(Row row) { m_rows.append(std::move(row)); }
    QString markdown() const;
    bool allMet() const;

    static QString ratio(double measured, double reference);
    static QString met(bool met, const QString& missedBy = {});

private:
    QList<Row> m_rows;
};
