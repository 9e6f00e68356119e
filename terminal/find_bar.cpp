#include "terminal/find_bar.h"

#include "terminal/terminal_view.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>

#include <algorithm>

FindBar::FindBar(TerminalView& view, QWidget* parent)
    : QWidget(parent)
    , m_view(view)
    , m_field(new QLineEdit(this))
    , m_matchCase(new QCheckBox(QStringLiteral("Match case"), this))
    , m_previous(new QToolButton(this))
    , m_next(new QToolButton(this))
    , m_count(new QLabel(this))
{
    setAccessibleName(QStringLiteral("Find in output"));
    m_field->setPlaceholderText(QStringLiteral("Find"));
    m_field->setAccessibleName(QStringLiteral("Find"));
    m_field->setClearButtonEnabled(true);
    m_field->installEventFilter(this);
    m_previous->setArrowType(Qt::UpArrow);
    m_previous->setAccessibleName(QStringLiteral("Previous match"));
    m_previous->setToolTip(QStringLiteral("Previous match (Shift+F3)"));
    m_next->setArrowType(Qt::DownArrow);
    m_next->setAccessibleName(QStringLiteral("Next match"));
    m_next->setToolTip(QStringLiteral("Next match (F3)"));
    auto* const close = new QToolButton(this);
    close->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
    close->setAutoRaise(true);
    close->setAccessibleName(QStringLiteral("Close"));
    close->setToolTip(QStringLiteral("Close (Escape)"));

    auto* const layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(m_field, 1);
    layout->addWidget(m_previous);
    layout->addWidget(m_next);
    layout->addWidget(m_matchCase);
    layout->addWidget(m_count);
    layout->addWidget(close);

    OutputSearch& search = m_view.search();
    connect(m_field, &QLineEdit::textChanged, this, &FindBar::search);
    connect(m_matchCase, &QCheckBox::toggled, this, &FindBar::search);
    connect(m_previous, &QToolButton::clicked, &search, &OutputSearch::previous);
    connect(m_next, &QToolButton::clicked, &search, &OutputSearch::next);
    connect(close, &QToolButton::clicked, this, &FindBar::dismiss);
    connect(&search, &OutputSearch::changed, this, &FindBar::showCount);
    // F3 and Escape work wherever the keys are in the window while the bar is open.
    auto* const next = new QShortcut(QKeySequence::FindNext, this);
    auto* const previous = new QShortcut(QKeySequence::FindPrevious, this);
    connect(next, &QShortcut::activated, &search, &OutputSearch::next);
    connect(previous, &QShortcut::activated, &search, &OutputSearch::previous);
    auto* const escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, this, &FindBar::dismiss);
    for (QShortcut* const shortcut : {next, previous, escape}) {
        shortcut->setContext(Qt::WindowShortcut);
    }
    hide();
}

void FindBar::open()
{
    const bool wasOpen = isVisible();
    show();
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
    if (!wasOpen) {
        m_view.setFollowing(false);
        m_view.search().setQuery(QString(), Qt::CaseInsensitive);
        search();
    }
}

void FindBar::dismiss()
{
    if (!isVisible()) {
        return;
    }
    hide();
    m_view.search().setQuery(QString(), Qt::CaseInsensitive);
    m_view.setFollowing(true);
    m_view.setFocus(Qt::OtherFocusReason);
}

void FindBar::search()
{
    const QString text = m_field->text();
    const bool capital = std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isUpper(); });
    m_view.search().setQuery(text, m_matchCase->isChecked() || capital ? Qt::CaseSensitive : Qt::CaseInsensitive);
}

QString FindBar::countText() const
{
    const OutputSearch& search = m_view.search();
    if (!search.isActive()) {
        return {};
    }
    if (search.count() == 0) {
        return search.isSearching() ? QStringLiteral("Searching…") : QStringLiteral("No matches");
    }
    return QStringLiteral("%1 of %2").arg(search.currentNumber()).arg(search.count());
}

void FindBar::showCount()
{
    const QString text = countText();
    if (text == m_count->text()) {
        return;
    }
    m_count->setText(text);
    // Read with the field, where the keys are.
    m_field->setAccessibleDescription(text);
}

bool FindBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_field && event->type() == QEvent::KeyPress) {
        const auto* const key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers().testFlag(Qt::ShiftModifier)) {
                m_view.search().previous();
            } else {
                m_view.search().next();
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
