#include <malloc.h>
#include <QApplication>
#include <QCoreApplication>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/command_line.h"
#include "app/headless_window.h"
#include "app/message_box.h"
#include "app/startup.h"
#include "app/termination.h"
#include "ui/desktop_setup.h"
#include "ui/run_main_window.h"

namespace {

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value && value[0] != '\0';
}

// The window needs a display, or a platform named on purpose (offscreen).
bool wantsWindow(int argc, char** argv)
{
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0
            || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return false;
}

// Whether a box can be seen and pressed: not on the platforms that draw
// nowhere.
bool platformShowsWindows()
{
    const QString name = QGuiApplication::platformName();
    return name != QLatin1String("offscreen") && name != QLatin1String("minimal")
           && name != QLatin1String("minimalegl");
}

}  // namespace

int main(int argc, char** argv)
{
    // Before any Qt object, the one-instance lock or the trace.
    switch (programRequest(argc, argv)) {
        case ProgramRequest::Help:
            std::fputs(programHelpText(), stdout);
            return 0;
        case ProgramRequest::Version:
            std::fputs(programVersionText(), stdout);
            return 0;
        case ProgramRequest::Run:
            break;
    }
    // Every connection and stream holds buffers of hundreds of KB (two
    // queues of 30 slots, a stream's packet buffers). glibc serves blocks
    // above the mmap threshold from mmap and gives them back on free, but
    // raises the threshold to the largest such block freed: after the
    // first connection ends, the next ones come from the heap, which keeps
    // what a busy hour took. A fixed threshold keeps them in mmap.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    std::setlocale(LC_ALL, "");
    blockTerminationSignals();

    if (!wantsWindow(argc, argv)) {
        QCoreApplication qt(argc, argv);
        CCorvaneForTcpApp app([] {
            HeadlessWindow window;
            window.doModal();
        });
        return app.initInstance(argc, argv);
    }

    QApplication qt(argc, argv);
    setUpDesktopApplication(qt);
    // Elsewhere start-up's messages go to standard error.
    if (platformShowsWindows())
        setMessageBoxPresenter(showQtMessageBox);
    CCorvaneForTcpApp app([] { runMainWindow(); });
    return app.initInstance(argc, argv);
}
