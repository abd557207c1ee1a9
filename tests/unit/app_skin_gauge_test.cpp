#include "app/skin_gauge.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvun {
namespace {

struct Paint {
    bool withBackground;
    int width;
};

class SkinGaugeTest : public ::testing::Test {
  protected:
    SkinGauge gauge;
    std::vector<Paint> paints;

    void SetUp() override {
        gauge.SetWidth(515);
        gauge.SetPainter([this](bool bg, int w) { paints.push_back({bg, w}); });
    }
};

TEST_F(SkinGaugeTest, ShrinkingRedrawsTheBackgroundGrowingDoesNot) {
    gauge.SetRange(0, 100);
    gauge.SetPos(80);
    ASSERT_EQ(paints.size(), 1u);
    EXPECT_FALSE(paints.back().withBackground);
    EXPECT_EQ(paints.back().width, 412);

    gauge.SetPos(20);
    ASSERT_EQ(paints.size(), 2u);
    EXPECT_TRUE(paints.back().withBackground);
    EXPECT_EQ(paints.back().width, 103);

    gauge.SetPos(80);
    ASSERT_EQ(paints.size(), 3u);
    EXPECT_FALSE(paints.back().withBackground);
    EXPECT_EQ(paints.back().width, 412);
}

TEST_F(SkinGaugeTest, FillWidthIsTruncated) {
    gauge.SetRange(0, 1000);
    gauge.SetPos(999);
    EXPECT_EQ(paints.back().width, 514);
    EXPECT_FLOAT_EQ(gauge.Fraction(), 0.999f);
}

TEST_F(SkinGaugeTest, RepaintsOnlyWhenThePixelWidthChanges) {
    gauge.SetRange(0, 1 << 20);
    for (uint64_t pos = 0; pos <= (1 << 20); pos += 2048) gauge.SetPos(pos);
    // 513 positions but at most one paint per pixel column (and the initial 0).
    EXPECT_LE(paints.size(), 516u);
    EXPECT_GE(paints.size(), 500u);
    EXPECT_EQ(paints.back().width, 515);
    size_t before = paints.size();
    gauge.SetPos(1 << 20);
    EXPECT_EQ(paints.size(), before);
    gauge.Repaint();
    EXPECT_EQ(paints.size(), before + 1) << "the window's own repaint always draws";
}

TEST_F(SkinGaugeTest, NewRangeStartsTheBarAgain) {
    gauge.SetRange(0, 10);
    gauge.SetPos(10);
    gauge.SetRange(0, 1000);
    gauge.SetPos(0);
    EXPECT_TRUE(paints.back().withBackground);
    EXPECT_EQ(paints.back().width, 0);
}

TEST_F(SkinGaugeTest, EmptyRangeAndOverflowStayInsideTheGauge) {
    gauge.SetRange(5, 5);
    gauge.SetPos(3);
    EXPECT_EQ(gauge.FillWidth(), 0);
    gauge.SetRange(0, 10);
    gauge.SetPos(50);
    EXPECT_EQ(gauge.FillWidth(), 515);
}

}  // namespace
}  // namespace korvun
