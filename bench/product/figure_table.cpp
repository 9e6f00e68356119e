#include "figure_table.h"

#include <QStringList>

QString FigureTable::markdown() const
{
    QStringList lines{QStringLiteral("| Figure | Measured | Reference, same run | Ratio | Goal | Met |"),
                      QStringLiteral("|---|---:|---|---:|---|---|")};
    for (const Row& row : m_rows) {
        QStringList cells{row.figure, row.measured, row.reference, row.ratio, row.goal, row.met};
        for (QString& cell : cells) {
            cell.replace(u'|', QStringLiteral("\\|"));
        }
        lines.append(QStringLiteral("| ") + cells.join(QStringLiteral(" | ")) + QStringLiteral(" |"));
    }
    return lines.join(u'\n') + u'\n';
}

bool FigureTable::allMet() const
{
    for (const Row& row : m_rows) {
        if (!row.met.isEmpty() && !row.met.startsWith(u"yes")) {
            return false;
        }
    }
    return true;
}

QString FigureTable::ratio(double measured, double reference)
{
    if (reference <= 0) {
        return QStringLiteral("–");
    }
    return QString::number(measured / reference, 'f', 2);
}

QString FigureTable::met(bool met, const QString& missedBy)
{
    if (met) {
        return QStringLiteral("yes");
    }
    return missedBy.isEmpty() ? QStringLiteral("**no**") : QStringLiteral("**no**, by ") + missedBy;
}
