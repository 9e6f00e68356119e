#include "terminal/escape_parser.h"

#include "terminal/line_wrap.h"

namespace {

constexpr char16_t Bell = 0x07;
constexpr char16_t Backspace = 0x08;
constexpr char16_t Tab = 0x09;
constexpr char16_t CarriageReturn = 0x0D;
constexpr char16_t Cancel = 0x18;
constexpr char16_t Substitute = 0x1A;
constexpr char16_t Esc = 0x1B;
constexpr char16_t Delete = 0x7F;

// Text as a terminal prints it: no C0 control but the tab, no DEL, no C1 control.
bool isPrintable(char16_t c)
{
    return (c >= 0x20 && c < Delete) || c == Tab || c > 0x9F;
}

bool isIntermediate(char16_t c)
{
    return c >= 0x20 && c <= 0x2F;
}

bool isFinal(char16_t c)
{
    return c >= 0x40 && c <= 0x7E;
}

} // namespace

EscapeParser::EscapeParser(Handler& handler) : m_handler(handler) { }

void EscapeParser::lineFeed()
{
    m_state = State::Ground;
}

bool EscapeParser::executeControl(char16_t c)
{
    switch (c) {
    case CarriageReturn:
        m_handler.carriageReturn();
        return false;
    case Backspace:
        m_handler.backspace();
        return false;
    case Cancel:
    case Substitute:
        m_state = State::Ground;
        return true;
    case Esc:
        m_state = State::Escape;
        return true;
    default:
        return false;
    }
}

void EscapeParser::beginControlSequence()
{
    m_state = State::ControlSequence;
    m_parameterCount = 0;
    m_privateMarker = 0;
    m_hasIntermediate = false;
}

void EscapeParser::dispatchControlSequence(char16_t final)
{
    m_state = State::Ground;
    if (m_privateMarker != 0 || m_hasIntermediate) {
        return;
    }
    if (final == u'm') {
        m_handler.selectGraphicRendition({m_parameters.data(), size_t(m_parameterCount)});
        return;
    }
    const int first = m_parameterCount == 0 ? -1 : m_parameters[0].value;
    const int count = std::max(first, 1);
    switch (final) {
    case u'K':
        if (first <= 2) {
            m_handler.eraseInLine(std::max(first, 0));
        }
        break;
    case u'C':
        m_handler.moveCursor(std::max(first, 1));
        break;
    case u'D':
        m_handler.moveCursor(-std::max(first, 1));
        break;
    case u'G':
    case u'`':
        m_handler.setCursorColumn(count - 1);
        break;
    case u'A':
        m_handler.moveLines(-count, false);
        break;
    case u'B':
    case u'e':
        m_handler.moveLines(count, false);
        break;
    case u'E':
        m_handler.moveLines(count, true);
        break;
    case u'F':
        m_handler.moveLines(-count, true);
        break;
    case u'd':
        m_handler.setCursorLine(count - 1);
        break;
    case u'H':
    case u'f':
        m_handler.setCursorPosition(count - 1, (m_parameterCount > 1 ? std::max(m_parameters[1].value, 1) : 1) - 1);
        break;
    case u'J':
        if (first <= 2) {
            m_handler.eraseInDisplay(std::max(first, 0));
        }
        break;
    case u's':
        if (m_parameterCount == 0) {
            m_handler.saveCursor();
        }
        break;
    case u'u':
        if (m_parameterCount == 0) {
            m_handler.restoreCursor();
        }
        break;
    default:
        break;
    }
}

void EscapeParser::feed(QStringView text)
{
    const char16_t* const data = text.utf16();
    const qsizetype size = text.size();
    qsizetype i = 0;
    while (i < size) {
        const char16_t c = data[i];
        switch (m_state) {
        case State::Ground: {
            if (isPrintable(c)) {
                const qsizetype start = i;
                bool simple = true;
                for (; i < size && isPrintable(data[i]); ++i) {
                    simple &= LineWrap::isSimple(data[i]);
                }
                m_handler.printText(text.sliced(start, i - start), simple);
                continue;
            }
            if (c == Esc && i + 1 < size && data[i + 1] == u'[') {
                // The common case, a whole CSI with numeric parameters, without a state per
                // character; anything else goes on in the states below.
                beginControlSequence();
                i = takeParameters(data, i + 2, size);
                if (i < size && isFinal(data[i])) {
                    dispatchControlSequence(data[i]);
                    ++i;
                }
                continue;
            }
            executeControl(c);
            break;
        }
        case State::Escape:
            if (c == u'[') {
                beginControlSequence();
            } else if (c == u']' || c == u'P' || c == u'X' || c == u'^' || c == u'_') {
                m_state = State::String;
            } else if (isIntermediate(c)) {
                m_state = State::EscapeIntermediate;
            } else if (c >= 0x30 && c <= 0x7E) {
                m_state = State::Ground;
                if (c == u'7') {
                    m_handler.saveCursor();
                } else if (c == u'8') {
                    m_handler.restoreCursor();
                }
            } else if (c < 0x20) {
                executeControl(c);
            } else if (c != Delete) {
                // Not a sequence after all: the escape goes, the character stays.
                m_state = State::Ground;
                continue;
            }
            break;
        case State::EscapeIntermediate:
            if (c >= 0x30 && c <= 0x7E) {
                m_state = State::Ground;
            } else if (c < 0x20) {
                executeControl(c);
            } else if (!isIntermediate(c) && c != Delete) {
                m_state = State::Ground;
                continue;
            }
            break;
        case State::ControlSequence:
            // Parameters are most of a sequence: taken in a loop of their own.
            if (!m_hasIntermediate && ((c >= u'0' && c <= u'9') || c == u';')) {
                i = takeParameters(data, i, size);
                continue;
            }
            if (c >= u'0' && c <= u'9') {
                if (m_hasIntermediate) {
                    m_state = State::ControlSequenceIgnore;
                } else {
                    addParameterDigit(c - u'0');
                }
            } else if (c == u';' || c == u':') {
                if (m_hasIntermediate) {
                    m_state = State::ControlSequenceIgnore;
                } else {
                    if (m_parameterCount == 0) {
                        m_parameters[0] = {};
                        m_parameterCount = 1;
                    }
                    if (m_parameterCount < MaxParameters) {
                        m_parameters[m_parameterCount++] = {-1, c == u':'};
                    } else {
                        m_state = State::ControlSequenceIgnore;
                    }
                }
            } else if (c >= u'<' && c <= u'?') {
                // A private marker is only valid first.
                if (m_parameterCount == 0 && m_privateMarker == 0 && !m_hasIntermediate) {
                    m_privateMarker = c;
                } else {
                    m_state = State::ControlSequenceIgnore;
                }
            } else if (isIntermediate(c)) {
                m_hasIntermediate = true;
            } else if (isFinal(c)) {
                dispatchControlSequence(c);
            } else if (c < 0x20) {
                executeControl(c);
            } else if (c != Delete) {
                m_state = State::ControlSequenceIgnore;
            }
            break;
        case State::ControlSequenceIgnore:
            if (isFinal(c)) {
                m_state = State::Ground;
            } else if (c < 0x20) {
                executeControl(c);
            }
            break;
        case State::String:
            if (c == Bell || c == Cancel || c == Substitute) {
                m_state = State::Ground;
            } else if (c == Esc) {
                m_state = State::StringEscape;
            }
            break;
        case State::StringEscape:
            if (c == u'\\') {
                m_state = State::Ground;
            } else {
                // Any other escape ends the string and starts a sequence of its own.
                m_state = State::Escape;
                continue;
            }
            break;
        }
        ++i;
    }
}
