#include "tray_probe.h"

#include "platform/log.h"

#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {

const QString WindowTitle = QStringLiteral("Corvalt Terminal");

QString rectText(const QRect& rect)
{
    return QStringLiteral("%1,%2,%3,%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
}

QString pointText(const QPoint& point)
{
    return QStringLiteral("%1,%2").arg(point.x()).arg(point.y());
}

// Each action as label@centre on the screen, separators as "-".
QString actionsText(const QWidget& widget, const std::function<QRect(QAction*)>& geometry)
{
    QStringList parts;
    for (QAction* const action : widget.actions()) {
        if (action->isSeparator()) {
            parts.append(QStringLiteral("-"));
        } else if (action->isVisible()) {
            parts.append(action->text() + u'@' + pointText(widget.mapToGlobal(geometry(action).center())));
        }
    }
    return parts.join(u'|');
}

} // namespace

TrayProbe::TrayProbe(QObject* parent) : QObject(parent)
{
    m_timer.setInterval(50);
    connect(&m_timer, &QTimer::timeout, this, &TrayProbe::inspect);
    m_timer.start();
}

void TrayProbe::inspect()
{
    const QString now = describe();
    if (now != m_last) {
        m_last = now;
        Log::print(now);
    }
}

QString TrayProbe::describe() const
{
    QStringList fields{QStringLiteral("🧪 state")};
    fields.append(QStringLiteral("tray=%1").arg(QSystemTrayIcon::isSystemTrayAvailable() ? 1 : 0));
    const auto* const icon = QCoreApplication::instance()->findChild<QSystemTrayIcon*>();
    fields.append(QStringLiteral("icon=") + (icon && icon->isVisible() ? rectText(icon->geometry()) : QString()));
    fields.append(QStringLiteral("tooltip=") + (icon ? icon->toolTip() : QString()));

    const QWidget* window = nullptr;
    int windows = 0;
    const QMenu* openMenu = nullptr;
    for (const QWidget* const widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible()) {
            continue;
        }
        if (widget->windowTitle() == WindowTitle) {
            ++windows;
            window = widget;
        }
        if (const auto* const menu = qobject_cast<const QMenu*>(widget); menu && !openMenu) {
            openMenu = menu;
        }
    }
    fields.append(QStringLiteral("windows=%1").arg(windows));
    fields.append(QStringLiteral("window=") + (window ? rectText(window->geometry()) : QString()));
    fields.append(QStringLiteral("wid=") + (window ? QString::number(window->winId()) : QString()));
    const QMenuBar* const bar = window ? window->findChild<QMenuBar*>() : nullptr;
    fields.append(QStringLiteral("menubar=") +
                  (bar && bar->isVisible()
                       ? actionsText(*bar, [bar](QAction* action) { return bar->actionGeometry(action); })
                       : QString()));
    fields.append(
        QStringLiteral("menu=") +
        (openMenu ? actionsText(*openMenu, [openMenu](QAction* action) { return openMenu->actionGeometry(action); })
                  : QString()));
    return fields.join(u'\t');
}
