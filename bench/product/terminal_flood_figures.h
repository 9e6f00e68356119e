#pragma once

#include "figure_table.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// The terminal window's flood figures, from a run of bench_terminal_flood, put in the table
// with the pipelines that run measures beside the window as their references.
class TerminalFloodFigures
{
public:
    // Runs the flood benchmark (about two minutes with 3 runs) and reads its tables.
    bool run(const QString& program, int runs);
    // Reads the tables from the benchmark's printed output.
    bool parse(const QString& output);
    void addTo(FigureTable& table) const;

    const QString& output() const { return m_output; }

private:
    struct Pipeline
    {
        QString throughput;
        QString stall;
        QString peak;
        QString endShown;
    };
    struct Goal
    {
        QString name;
        QString measured;
        QString wanted;
        bool met = false;
    };

    QString m_output;
    QString m_heading;
    QHash<QString, Pipeline> m_pipelines; // by the letter of the pipeline, "a" to "d"
    QList<Goal> m_goals;
};
