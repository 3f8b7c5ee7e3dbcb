#include <QCoreApplication>
#include <clocale>

#include "app/headless_window.h"
#include "app/startup.h"
#include "app/termination.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    blockTerminationSignals();
    QCoreApplication qt(argc, argv);

    CCorvaneForTcpApp app([] {
        HeadlessWindow window;
        window.doModal();
    });
    return app.initInstance(argc, argv);
}
