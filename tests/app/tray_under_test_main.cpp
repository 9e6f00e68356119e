// The tray program as shipped, with the test's configuration and a probe that prints a line
// whenever what a user could see changes. Tab-separated fields after "🧪":
//   window=1             once the display server has exposed the terminal window
//   menu=L|-|L…          the open menu's entries, "-" for separators
//   tray=x,y  LABEL=x,y  screen centres of the tray icon, of menu bar titles and of open entries
#include "app/corvalt_mac_app.h"
#include "platform/log.h"

#include <QtWidgets>

using namespace Qt::StringLiterals;

namespace {

void startProbe()
{
    auto* const timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [last = QString()]() mutable {
        QStringList fields{u"🧪"_s};
        const auto place = [&fields](const QString& name, QPoint at) {
            fields << u"%1=%2,%3"_s.arg(name).arg(at.x()).arg(at.y());
        };
        const auto entries = [&place](const auto& bar) {
            QStringList labels;
            for (QAction* const action : bar.actions()) {
                labels.append(action->isSeparator() ? u"-"_s : action->text());
                place(labels.last(), bar.mapToGlobal(bar.actionGeometry(action).center()));
            }
            return labels.join(u'|');
        };
        // Never QSystemTrayIcon::isSystemTrayAvailable(): it fixes Qt's tray backend for good.
        if (const auto* const icon = qApp->findChild<QSystemTrayIcon*>(); icon && !icon->geometry().isEmpty()) {
            place(u"tray"_s, icon->geometry().center());
        }
        for (QWidget* const widget : QApplication::topLevelWidgets()) {
            if (const auto* const menu = qobject_cast<QMenu*>(widget); menu && menu->isVisible()) {
                fields.append(u"menu="_s + entries(*menu));
            } else if (widget->windowHandle() && widget->windowHandle()->isExposed() &&
                       widget->windowTitle() == u"Corvalt Terminal") {
                fields << u"window=1"_s;
                if (const auto* const bar = widget->findChild<QMenuBar*>(); bar && bar->isVisible()) {
                    entries(*bar);
                }
            }
        }
        if (const QString now = fields.join(u'\t'); now != last) {
            Log::print(last = now);
        }
    });
    timer->start(50);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startProbe)

int main(int argc, char** argv)
{
    return Corvalt_MacApp::main(argc, argv);
}
