// One QApplication for the whole test program, on the offscreen platform.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

inline void initKettlebrightResources() {
    Q_INIT_RESOURCE(kettlebright);
}

namespace apptest {

class QtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        initKettlebrightResources();
        app = new QApplication(argc, argv);
    }
    void TearDown() override {
        delete app;
        app = nullptr;
    }

    QApplication* app = nullptr;
    int argc = 1;
    char name[16] = "shell_tests";
    char* argv[2] = {name, nullptr};
};

inline testing::Environment* const kQtEnvironment =
    testing::AddGlobalTestEnvironment(new QtEnvironment);

// Watches for a modal widget while it lives: runs `inspect` on the first one
// that a nested event loop shows, then closes it with reject(). Polls every
// 10 ms, at most `attempts` times, and stops when destroyed, so no poll
// outlives the test that started it.
class ModalWatch {
public:
    template <typename Inspect> explicit ModalWatch(Inspect inspect, int attempts = 200);
    ModalWatch(const ModalWatch&) = delete;
    ModalWatch& operator=(const ModalWatch&) = delete;

private:
    std::unique_ptr<QTimer> timer;
};

} // namespace apptest

template <typename Inspect>
apptest::ModalWatch::ModalWatch(Inspect inspect, int attempts) : timer(new QTimer) {
    timer->setInterval(10);
    QObject::connect(timer.get(), &QTimer::timeout, [this, inspect, attempts]() mutable {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            if (--attempts <= 0) timer->stop();
            return;
        }
        timer->stop();
        inspect(modal);
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    });
    timer->start();
}
