// Where the dialog lands: the halves are rounded towards minus infinity, not towards zero.
#include "../../app/update_dialog.h"

#include <gtest/gtest.h>

static POINT Origin(LONG left, LONG top, LONG right, LONG bottom, int width, int height)
{
    RECT work = {left, top, right, bottom};
    return CentredOrigin(work, width, height);
}

TEST(CentredOrigin, CentresTheDialogInTheWorkArea)
{
    POINT origin = Origin(0, 0, 1024, 738, 300, 101);
    EXPECT_EQ(origin.x, 362);
    EXPECT_EQ(origin.y, 318);
    // A work area that does not start at the origin, beside a taskbar.
    origin = Origin(60, 30, 1084, 768, 300, 101);
    EXPECT_EQ(origin.x, 422);
    EXPECT_EQ(origin.y, 348);
}

TEST(CentredOrigin, RoundsOddNegativeHalvesDownwards)
{
    // A monitor left of and above the primary one: -1625 / 2 and -839 / 2.
    POINT origin = Origin(-1024, -738, 0, 0, 601, 101);
    EXPECT_EQ(origin.x, -813);
    EXPECT_EQ(origin.y, -420);
    // A dialog wider and taller than the work area: -77 / 2 and -21 / 2.
    origin = Origin(0, 0, 1024, 738, 1101, 759);
    EXPECT_EQ(origin.x, -39);
    EXPECT_EQ(origin.y, -11);
}
