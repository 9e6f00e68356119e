#include "app/app_delegate.h"

#include "manager/corvalt_manager.h"
#include "platform/log.h"
#include "terminal/window_manager.h"

#include <QCoreApplication>
#include <QTimer>

namespace {
constexpr std::chrono::milliseconds WindowDelay{500};
}

void AppDelegate::applicationDidFinishLaunching()
{
    Log::print(u"🚀 AppDelegate applicationDidFinishLaunching called");
    // Runs once the sweep below has given the event loop back, and not before the delay.
    QTimer::singleShot(WindowDelay, QCoreApplication::instance(), [] {
        Log::print(u"🚀 Opening terminal window automatically");
        WindowManager::shared().openTerminalWindow(WindowManager::Focus::Leave);
    });
    CorvaltManager::shared().createInstallDirectory();
    Log::print(u"🚀 About to call downloadAndRunCLI");
    CorvaltManager::shared().downloadAndRunCLI();
    Log::print(u"🚀 downloadAndRunCLI called");
}

void AppDelegate::applicationWillTerminate()
{
    Log::print(u"🛑 AppDelegate applicationWillTerminate called");
    CorvaltManager::shared().cleanup();
    Log::print(u"🛑 App termination cleanup completed");
}
