// The tray program as shipped, with the test's configuration and a probe that prints a line
// whenever what a user could see changes. Tab-separated fields after "🧪":
//   window=1             once the display server has exposed the terminal window
//   menu=L|-|L…          the open menu's entries, "-" for separators
//   tray=x,y  LABEL=x,y  screen centres of the tray icon, of menu bar titles and of open entries
#include "app/tray_application.h"
#include "platform/log.h"
#include "tests/support/environment_configuration.h"

#include <QtWidgets>

using namespace Qt::StringLiterals;

static void startProbe()
{
    auto* const timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [last = QString()]() mutable {
        QStringList fields{u"🧪"_s};
        const auto entries = [&fields](const auto& bar) {
            QStringList labels;
            for (QAction* const action : bar.actions()) {
                labels.append(action->isSeparator() ? u"-"_s : action->text());
                const QPoint at = bar.mapToGlobal(bar.actionGeometry(action).center());
                fields << u"%1=%2,%3"_s.arg(labels.last()).arg(at.x()).arg(at.y());
            }
            return labels.join(u'|');
        };
        // Never QSystemTrayIcon::isSystemTrayAvailable(): it fixes Qt's tray backend for good.
        if (const auto* const icon = qApp->findChild<QSystemTrayIcon*>(); icon && !icon->geometry().isEmpty()) {
            fields << u"tray=%1,%2"_s.arg(icon->geometry().center().x()).arg(icon->geometry().center().y());
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

Q_COREAPP_STARTUP_FUNCTION(startProbe)

int main(int argc, char** argv)
{
    return TrayApplication::run(argc, argv, configurationFromEnvironment());
}
