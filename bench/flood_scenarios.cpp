#include "flood_scenarios.h"

#include "flood_measure.h"
#include "manager/corvalt_manager.h"
#include "terminal/find_bar.h"
#include "terminal/terminal_view.h"
#include "terminal/terminal_view_model.h"
#include "terminal/window_manager.h"
#include "tests/support/test_sandbox.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextCursor>
#include <QTimer>
#include <QWindow>

#include <functional>
#include <limits>
#include <memory>
#include <tuple>

namespace {

constexpr int FrameMilliseconds = 16;

double mibPerSecond(qint64 bytes, double seconds)
{
    return seconds > 0 ? double(bytes) / (1024.0 * 1024.0) / seconds : 0;
}

void waitUntilExposed(QWidget& widget)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (widget.windowHandle() && widget.windowHandle()->isExposed()) {
            loop.quit();
        }
    });
    poll.start(10);
    loop.exec();
    // Let the first frames settle before measuring anything.
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
}

// Calls `onFrame` after every frame painted on the viewport, once the paint is done.
class FrameWatcher : public QObject
{
public:
    FrameWatcher(QWidget* viewport, std::function<void()> onFrame) : m_onFrame(std::move(onFrame))
    {
        viewport->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            QTimer::singleShot(0, this, m_onFrame);
        }
        return false;
    }

private:
    std::function<void()> m_onFrame;
};

bool endsWithMarker(QStringView text)
{
    return text.right(64).contains(QLatin1StringView(FloodScenarios::EndMarker));
}

// A QPlainTextEdit fed by end insertion every 16 ms from whatever `connectSource` hooks up: it
// gets a function to call with each piece of text and one to call when the last has come.
FloodScenarios::Figures
feedPlainTextEdit(const QString& dataFile,
                  const std::function<void(std::function<void(const QString&)>, std::function<void()>)>& connectSource,
                  const std::function<void()>& start)
{
    QPlainTextEdit edit;
    edit.setReadOnly(true);
    edit.resize(800, 600);
    edit.show();
    waitUntilExposed(edit);
    const double idle = FloodMeasure::residentMiB();

    FloodMeasure measure;
    QString pending;
    bool finished = false;
    bool endInserted = false;
    double arrival = 0;
    double onScreen = 0;
    QEventLoop loop;
    connectSource([&](const QString& piece) { pending.append(piece); },
                  [&] {
                      if (!finished) {
                          finished = true;
                          arrival = measure.elapsedSeconds();
                      }
                  });
    QTimer feed;
    feed.setInterval(FrameMilliseconds);
    QObject::connect(&feed, &QTimer::timeout, &loop, [&] {
        if (pending.isEmpty()) {
            return;
        }
        QTextCursor cursor(edit.document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(pending);
        edit.verticalScrollBar()->setValue(edit.verticalScrollBar()->maximum());
        pending.clear();
        endInserted = finished;
    });
    const FrameWatcher frames(edit.viewport(), [&] {
        if (endInserted && onScreen == 0) {
            onScreen = measure.elapsedSeconds();
            measure.stop();
            loop.quit();
        }
    });
    measure.start();
    feed.start();
    start();
    loop.exec();
    return {{QStringLiteral("mibps"), mibPerSecond(QFileInfo(dataFile).size(), onScreen)},
            {QStringLiteral("stall_ms"), measure.maxStallMilliseconds()},
            {QStringLiteral("peak_mib"), FloodMeasure::peakResidentMiB()},
            {QStringLiteral("idle_mib"), idle},
            {QStringLiteral("latency_ms"), (onScreen - arrival) * 1000}};
}

// The tool: a script in a temporary home that prints the data, started by a manager that never
// looks for the real tool's processes.
class FloodTool
{
public:
    explicit FloodTool(const QString& dataFile)
    {
        TestSandbox::writeScript(m_sandbox.toolPath(), "exec /bin/cat '" + QFile::encodeName(dataFile) + "'\n");
        ManagerConfig config;
        config.homeDirectory = m_sandbox.home();
        config.baseUrl = QUrl(QStringLiteral("https://127.0.0.1:9/static/cli"));
        config.assetName = QStringLiteral("tool-linux-amd64");
        config.searchProgram = QStringLiteral("/usr/bin/pgrep");
        config.searchArguments = {QStringLiteral("-f"), TestSandbox::uniqueWord()};
        config.zshPath = QStringLiteral("/bin/zsh");
        config.bashPath = QStringLiteral("/bin/bash");
        m_capMiB = double(config.maxOutputBytes) / (1024.0 * 1024.0);
        m_manager = std::make_unique<CorvaltManager>(config);
    }
    ~FloodTool() { m_manager->cleanup(); }

    CorvaltManager& manager() { return *m_manager; }
    double capMiB() const { return m_capMiB; }

private:
    const TestSandbox m_sandbox;
    double m_capMiB = 0;
    std::unique_ptr<CorvaltManager> m_manager;
};

} // namespace

FloodScenarios::Figures FloodScenarios::rawPipe(const QString& dataFile)
{
    FloodMeasure measure;
    QProcess cat;
    measure.start();
    cat.start(QStringLiteral("/bin/cat"), {dataFile}, QIODevice::ReadOnly);
    qint64 bytes = 0;
    while (cat.waitForReadyRead(-1)) {
        bytes += cat.readAllStandardOutput().size();
    }
    bytes += cat.readAllStandardOutput().size();
    measure.stop();
    cat.waitForFinished();
    return {{QStringLiteral("mibps"), mibPerSecond(bytes, measure.seconds())}};
}

FloodScenarios::Figures FloodScenarios::captureOnly(const QString& dataFile)
{
    FloodMeasure measure;
    QProcess cat;
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text;
    QEventLoop loop;
    QObject::connect(
        &cat, &QProcess::readyReadStandardOutput, &loop, [&] { text.append(decoder(cat.readAllStandardOutput())); });
    QObject::connect(&cat, &QProcess::finished, &loop, [&] {
        text.append(decoder(cat.readAllStandardOutput()));
        measure.stop();
        loop.quit();
    });
    measure.start();
    cat.start(QStringLiteral("/bin/cat"), {dataFile}, QIODevice::ReadOnly);
    loop.exec();
    return {{QStringLiteral("mibps"), mibPerSecond(QFileInfo(dataFile).size(), measure.seconds())},
            {QStringLiteral("stall_ms"), measure.maxStallMilliseconds()},
            {QStringLiteral("peak_mib"), FloodMeasure::peakResidentMiB()},
            {QStringLiteral("characters"), double(text.size())}};
}

FloodScenarios::Figures FloodScenarios::plainTextEditFromPipe(const QString& dataFile)
{
    QProcess cat;
    QStringDecoder decoder(QStringDecoder::Utf8);
    return feedPlainTextEdit(
        dataFile,
        [&](std::function<void(const QString&)> piece, std::function<void()> last) {
            QObject::connect(&cat, &QProcess::readyReadStandardOutput, &cat, [&, piece] {
                piece(decoder(cat.readAllStandardOutput()));
            });
            QObject::connect(&cat, &QProcess::finished, &cat, [&, piece, last] {
                piece(decoder(cat.readAllStandardOutput()));
                last();
            });
        },
        [&] { cat.start(QStringLiteral("/bin/cat"), {dataFile}, QIODevice::ReadOnly); });
}

FloodScenarios::Figures FloodScenarios::plainTextEditFromModel(const QString& dataFile)
{
    FloodTool tool(dataFile);
    TerminalViewModel model(tool.manager());
    return feedPlainTextEdit(
        dataFile,
        [&](std::function<void(const QString&)> piece, std::function<void()> last) {
            // The whole output is kept, as a plain text view keeps what it is given. The marker
            // may come in two pieces.
            QObject::connect(
                &model, &TerminalViewModel::outputAppended, &model, [piece, last, &model](const QString& text) {
                    piece(text);
                    if (!text.isEmpty() && endsWithMarker(model.outputRange(0, std::numeric_limits<qint64>::max()))) {
                        last();
                    }
                });
        },
        [&] { tool.manager().runTool(); });
}

FloodScenarios::Figures FloodScenarios::terminalWindow(const QString& dataFile)
{
    FloodTool tool(dataFile);
    CorvaltManager& manager = tool.manager();
    WindowManager windows(manager);
    windows.openTerminalWindow();
    QWidget* const window = windows.terminalWindow();
    auto* const view = window->findChild<TerminalView*>();
    waitUntilExposed(*window);
    const double idle = FloodMeasure::residentMiB();

    FloodMeasure measure;
    double arrival = 0;
    double onScreen = 0;
    QEventLoop loop;
    QObject::connect(&manager, &CorvaltManager::outputAppended, &loop, [&] {
        if (arrival == 0 && endsWithMarker(manager.output())) {
            arrival = measure.elapsedSeconds();
        }
    });
    const FrameWatcher frames(view->viewport(), [&] {
        if (arrival == 0 || onScreen != 0) {
            return;
        }
        const TerminalBuffer& buffer = view->buffer();
        const QScrollBar* const bar = view->verticalScrollBar();
        bool shown = false;
        for (qsizetype line = buffer.lineCount() - 1; line >= 0 && line >= buffer.lineCount() - 4; --line) {
            shown = shown || endsWithMarker(buffer.lineText(line));
        }
        if (shown && bar->value() == bar->maximum()) {
            onScreen = measure.elapsedSeconds();
            measure.stop();
            loop.quit();
        }
    });
    measure.start();
    manager.runTool();
    loop.exec();
    return {{QStringLiteral("mibps"), mibPerSecond(QFileInfo(dataFile).size(), onScreen)},
            {QStringLiteral("stall_ms"), measure.maxStallMilliseconds()},
            {QStringLiteral("peak_mib"), FloodMeasure::peakResidentMiB()},
            {QStringLiteral("idle_mib"), idle},
            {QStringLiteral("latency_ms"), (onScreen - arrival) * 1000},
            {QStringLiteral("cap_mib"), tool.capMiB()}};
}

FloodScenarios::Figures FloodScenarios::findInTerminalWindow(const QString& dataFile)
{
    FloodTool tool(dataFile);
    CorvaltManager& manager = tool.manager();
    WindowManager windows(manager);
    windows.openTerminalWindow();
    QWidget* const window = windows.terminalWindow();
    auto* const view = window->findChild<TerminalView*>();
    auto* const bar = window->findChild<FindBar*>();
    auto* const field = bar->findChild<QLineEdit*>();
    waitUntilExposed(*window);
    QEventLoop loop;
    QObject::connect(&manager, &CorvaltManager::outputAppended, &loop, [&] {
        if (endsWithMarker(manager.output())) {
            QTimer::singleShot(500, &loop, &QEventLoop::quit);
        }
    });
    manager.runTool();
    loop.exec();

    // A unique text of a line near the start of what is kept.
    const QRegularExpressionMatch early =
        QRegularExpression(QStringLiteral("id=\\d+ ")).match(view->buffer().lineText(20).toString());
    FloodMeasure measure;
    const auto find = [&](const QString& text, bool toTheEnd) {
        OutputSearch& search = view->search();
        double onScreen = 0;
        double complete = 0;
        QEventLoop waiting;
        const FrameWatcher frames(view->viewport(), [&] {
            const std::optional<TerminalBuffer::Point> current = search.current();
            if (onScreen == 0 && current && view->viewport()->rect().contains(view->characterRect(*current).toRect())) {
                onScreen = measure.elapsedSeconds();
            }
            if (onScreen != 0 && (!toTheEnd || !search.isSearching())) {
                complete = measure.elapsedSeconds();
                waiting.quit();
            }
        });
        const double start = measure.elapsedSeconds();
        bar->open();
        field->setText(text);
        waiting.exec();
        const qsizetype count = search.count();
        bar->dismiss();
        return std::tuple((onScreen - start) * 1000, (complete - start) * 1000, double(count));
    };
    measure.start();
    const auto [near, complete, count] = find(QStringLiteral("error"), true);
    const double far = std::get<0>(find(early.captured(), false));
    measure.stop();
    return {{QStringLiteral("near_ms"), near},
            {QStringLiteral("far_ms"), far},
            {QStringLiteral("complete_ms"), complete},
            {QStringLiteral("count"), count},
            {QStringLiteral("stall_ms"), measure.maxStallMilliseconds()}};
}
