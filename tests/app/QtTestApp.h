// One QApplication for the whole test program, on the offscreen platform.
#pragma once

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

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

// Runs `inspect` on the modal widget as soon as the nested event loop shows
// one, then closes it with reject(). Returns at once.
template <typename Inspect> void whenModalShown(Inspect inspect, int attemptsLeft = 200);

} // namespace apptest

#include <QDialog>
#include <QTimer>

template <typename Inspect> void apptest::whenModalShown(Inspect inspect, int attemptsLeft) {
    QTimer::singleShot(10, [inspect, attemptsLeft] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            if (attemptsLeft > 0) whenModalShown(inspect, attemptsLeft - 1);
            return;
        }
        inspect(modal);
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    });
}
