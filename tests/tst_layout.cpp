#include "ui/layout.h"

#include <QTest>

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void designClientArea()
    {
        const ControlsGeometry c = layoutControls(6510, 3765, ControlsGeometry());
        QCOMPARE(c.text1Width, 4520.f);
        QCOMPARE(c.list1Width, 5105.f);
        QCOMPARE(c.list1Height, 3520.f);
        QCOMPARE(c.list2Left, 5155.f);
        QCOMPARE(c.list2Width, 1305.f);
        QCOMPARE(c.list2Height, 3330.f);
        QCOMPARE(c.label1Left, 5205.f);
        QCOMPARE(c.check1Left, 5205.f);
        QCOMPARE(c.command1Left, 4620.f);
    }

    // Only the left column follows the width; the participant list keeps its own.
    void widerWindowGrowsTheLeftColumn()
    {
        const ControlsGeometry c = layoutControls(9000, 6000, ControlsGeometry());
        QCOMPARE(c.list2Width, 1305.f);
        QCOMPARE(c.list2Left + c.list2Width, 9000.f - 50);
        QCOMPARE(c.command1Left + c.command1Width, 9000.f - 1305);
        QCOMPARE(c.list1Height, 6000.f - 245);
        QCOMPARE(c.list2Height, 6000.f - 435);
    }

    void narrowWindowSkipsTheInputLineOnly()
    {
        ControlsGeometry c = layoutControls(6510, 3765, ControlsGeometry());
        c = layoutControls(1950, 3765, c); // below 1990
        QCOMPARE(c.text1Width, 4520.f);
        QCOMPARE(c.list1Width, 545.f);
        QCOMPARE(c.command1Left, 60.f);
        c = layoutControls(1800, 3765, c); // below 1890: the button moves out to the left
        QCOMPARE(c.command1Left, -90.f);
    }

    void tooNarrowForTheLogKeepsItsWidthAndNarrowsTheList()
    {
        ControlsGeometry c = layoutControls(6510, 3765, ControlsGeometry());
        c = layoutControls(1300, 3765, c); // below 1405: step 2 fails
        QCOMPARE(c.list1Width, 5105.f);
        QCOMPARE(c.list2Width, 1305.f); // 1300 - 5105 - 100 < 0: step 7 fails too
        c = layoutControls(6000, 3765, c);
        QCOMPARE(c.list1Width, 4595.f);
        c = layoutControls(1300, 3765, c);
        QCOMPARE(c.list1Width, 4595.f);
        QCOMPARE(c.list2Width, 1305.f);

        // Step 2 failed and step 7 succeeds: the list narrows, and never widens again.
        ControlsGeometry narrow = layoutControls(1000, 3765, ControlsGeometry{.list1Width = 500});
        QCOMPARE(narrow.list1Width, 500.f);
        QCOMPARE(narrow.list2Width, 400.f);
        narrow = layoutControls(6510, 3765, narrow);
        QCOMPARE(narrow.list1Width, 6010.f);
        QCOMPARE(narrow.list2Width, 400.f);
    }

    void lowWindowSkipsTheHeights()
    {
        ControlsGeometry c = layoutControls(6510, 3765, ControlsGeometry());
        c = layoutControls(6510, 300, c); // below 435: the participant list keeps its height
        QCOMPARE(c.list1Height, 55.f);
        QCOMPARE(c.list2Height, 3330.f);
        c = layoutControls(6510, 200, c); // below 245: both keep theirs
        QCOMPARE(c.list1Height, 55.f);
        QCOMPARE(c.list2Height, 3330.f);
        QCOMPARE(c.text1Width, 4520.f);
    }
};

QTEST_APPLESS_MAIN(TestLayout)
#include "tst_layout.moc"
