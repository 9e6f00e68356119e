#pragma once

#include "terminal/text_style.h"

#include <QStringView>

#include <array>

// Splits terminal output into printable text, the controls and cursor moves a log view acts on, and escape
// sequences, which it swallows whole whatever they are. A sequence may be split across any
// number of feeds. Line feeds never reach the parser: the caller splits on them and calls
// lineFeed(), which also ends any sequence left open, so a broken sequence costs one line at
// most.
class EscapeParser
{
public:
    class Handler
    {
    public:
        virtual ~Handler() = default;
        // Printable characters, tabs included; `simple` when each takes one cell of its own
        // (see LineWrap::isSimple).
        virtual void printText(QStringView text, bool simple) = 0;
        virtual void carriageReturn() = 0;
        virtual void backspace() = 0;
        virtual void selectGraphicRendition(std::span<const SequenceParameter> parameters) = 0;
        // CSI K: 0 erases from the cursor to the end of the line, 1 from its start to the
        // cursor, 2 the whole line.
        virtual void eraseInLine(int mode) = 0;
        // CSI C and CSI D move the cursor along the line by `count` (negative: back), CSI G
        // puts it in a column counted from 0.
        virtual void moveCursor(int count) = 0;
        virtual void setCursorColumn(int column) = 0;
        // Moves across lines, which a single line ignores. CSI A/B move up or down by `count`
        // (negative: up) keeping the column, CSI E/F likewise to the start of the line; CSI d and
        // CSI H put the cursor on a line of the screen counted from 0.
        virtual void moveLines(int, bool /*toLineStart*/) { }
        virtual void setCursorLine(int) { }
        virtual void setCursorPosition(int /*line*/, int /*column*/) { }
        // CSI J: 0 erases from the cursor to the end of the screen, 1 from its start to the
        // cursor, 2 the whole screen.
        virtual void eraseInDisplay(int) { }
        // ESC 7 and CSI s, ESC 8 and CSI u.
        virtual void saveCursor() { }
        virtual void restoreCursor() { }
    };

    explicit EscapeParser(Handler& handler);

    void feed(QStringView text);
    void lineFeed();

private:
    enum class State {
        Ground,
        Escape,
        EscapeIntermediate,
        ControlSequence,
        ControlSequenceIgnore,
        String,
        StringEscape,
    };

    // Handles a C0 control met inside a sequence; true when it ended the sequence.
    bool executeControl(char16_t c);
    void beginControlSequence();
    void addParameterDigit(int digit)
    {
        if (m_parameterCount == 0) {
            m_parameters[0] = {};
            m_parameterCount = 1;
        }
        SequenceParameter& parameter = m_parameters[m_parameterCount - 1];
        parameter.value = std::min(std::max(parameter.value, 0) * 10 + digit, MaxParameterValue);
    }
    // Takes the run of digits and ";" that starts at `i`; returns where the run ends.
    qsizetype takeParameters(const char16_t* data, qsizetype i, qsizetype size)
    {
        for (; i < size; ++i) {
            const char16_t p = data[i];
            if (p >= u'0' && p <= u'9') {
                addParameterDigit(p - u'0');
            } else if (p == u';' && m_parameterCount < MaxParameters) {
                if (m_parameterCount == 0) {
                    m_parameters[0] = {};
                    m_parameterCount = 1;
                }
                m_parameters[m_parameterCount++] = {-1, false};
            } else {
                break;
            }
        }
        return i;
    }
    void dispatchControlSequence(char16_t final);

    static constexpr int MaxParameters = 32;
    static constexpr int MaxParameterValue = 65535;

    Handler& m_handler;
    State m_state = State::Ground;
    std::array<SequenceParameter, MaxParameters> m_parameters;
    int m_parameterCount = 0;
    char16_t m_privateMarker = 0;
    bool m_hasIntermediate = false;
};
