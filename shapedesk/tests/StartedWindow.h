// A shown ShapeDesk window whose start-up (the saved mirror opened 100 ms after construction) is over.
#pragma once

#include "userwindow.h"

#include <QMenu>
#include <QtTest>

#include <memory>

namespace sdtest {

// A menu opened and one of its entries clicked, as a person does it.
inline void chooseFromMenu(QMenu* menu, QAction* action) {
    menu->popup(QPoint(10, 10));
    QVERIFY(QTest::qWaitForWindowExposed(menu));
    const QRect where = menu->actionGeometry(action);
    QVERIFY(where.isValid());
    QTest::mouseMove(menu, where.center());
    QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier, where.center());
    QTest::qWait(10);
}

inline std::unique_ptr<UserWindow> startedWindow(int width = 1200, int height = 700) {
    auto window = std::make_unique<UserWindow>();
    window->resize(width, height);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get())) qWarning("the window was not exposed");
    // However slow the machine, the saved mirror is reopened before the test opens its own.
    if (!QTest::qWaitFor([&] { return window->startedUp(); }, 10000)) qWarning("the window did not start up");
    QTest::qWait(20);
    return window;
}

}  // namespace sdtest
