#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QToolButton;
class TerminalView;

// The bar below the output that finds text in it: incremental, matching case only when asked or
// when the text has a capital. Enter and F3 go to the next match, with Shift to the previous one,
// Escape closes the bar and gives the keys back to the output. While it is open the output stays
// on the current match.
class FindBar : public QWidget
{
    Q_OBJECT

public:
    explicit FindBar(TerminalView& view, QWidget* parent = nullptr);

    void open();
    void dismiss();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void search();
    QString countText() const;
    void showCount();

    TerminalView& m_view;
    QLineEdit* m_field;
    QCheckBox* m_matchCase;
    QToolButton* m_previous;
    QToolButton* m_next;
    QLabel* m_count;
};
