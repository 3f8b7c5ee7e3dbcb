// What the window tests share: a scratch directory with an INI file, the
// model's hand-stepped event loop, a scripted messenger, the main window
// found control by control, and a driver that answers the modal dialogs and
// message boxes a handler opens.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/manual_event_loop.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

using Lines = std::vector<std::string>;

inline constexpr const char* kPeer = "peer@pc-b.test";

// Each step is offered the top modal widget until it returns true. A modal
// widget still open after the time limit is rejected, so no test can hang.
class ModalDriver : public QObject {
public:
    using Step = std::function<bool(QWidget*)>;

    explicit ModalDriver(int limitMs = 10000) : limit(limitMs)
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, &ModalDriver::poll);
        clock.start();
        timer.start();
    }
    void add(Step step) { steps.push_back(std::move(step)); }
    bool finished() const { return steps.empty(); }
    bool timedOut() const { return expired; }

private:
    void poll()
    {
        QWidget* top = QApplication::activeModalWidget();
        if (!top)
            return;
        if (clock.elapsed() > limit) {
            expired = true;
            if (auto* dialog = qobject_cast<QDialog*>(top))
                dialog->reject();
            return;
        }
        if (!steps.empty() && steps.front()(top))
            steps.pop_front();
    }

    QTimer timer;
    QElapsedTimer clock;
    std::deque<Step> steps;
    int limit;
    bool expired = false;
};

// A step that answers a message box: records its text and presses `answer`.
inline ModalDriver::Step answerBox(std::vector<QString>* texts, QMessageBox::StandardButton answer = QMessageBox::Ok)
{
    return [texts, answer](QWidget* top) {
        auto* box = qobject_cast<QMessageBox*>(top);
        if (!box)
            return false;
        if (texts)
            texts->push_back(box->text());
        if (QAbstractButton* b = box->button(answer))
            b->click();
        else
            box->reject();
        return true;
    };
}

template <class T>
ModalDriver::Step onDialog(std::function<void(T*)> act)
{
    return [act](QWidget* top) {
        auto* dialog = qobject_cast<T*>(top);
        if (!dialog)
            return false;
        act(dialog);
        return true;
    };
}

class UiFixture {
public:
    UiFixture() { QV_SKYPECOM::setSocketName(messenger.socketName()); }
    ~UiFixture()
    {
        window.reset();
        QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
    }

    // Writes the INI file, initialises the window and, when asked, attaches
    // it to the messenger with the peer as the only contact.
    bool start(const std::string& ini, bool attach = true)
    {
        if (!ini.empty())
            writeFile(dir.file("CorvaneForTcp.ini"), ini);
        window = std::make_unique<CCorvaneForTcpDlg>();
        window->initDialog();
        if (!attach)
            return true;
        if (!messenger.accept())
            return false;
        messenger.sendAttach(0);
        loop.pump();
        deliver(std::string("USERS ") + kPeer);
        messenger.take();
        return true;
    }
    void deliver(const std::string& line)
    {
        messenger.sendLine(line);
        loop.pump();
    }
    std::string ini() const { return readFile(dir.file("CorvaneForTcp.ini")); }

    template <class T>
    T* control(int id) const
    {
        return window->findChild<T*>(controlName(id));
    }

    TempDir dir;
    ManualEventLoop loop;
    ScriptedMessenger messenger;
    std::unique_ptr<CCorvaneForTcpDlg> window;
};
