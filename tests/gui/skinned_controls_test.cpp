// The skinned pieces of the window, in process on a private X server: the embedded skin,
// the window shape from a colour-keyed bitmap, and the gauge drawing.
#include <array>
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/image.h>
#include <wx/init.h>

#include "app/skin_gauge.h"
#include "gui/x_display.h"
#include "ui/bitmap_region.h"
#include "ui/skin_bitmaps.h"
#include "ui/skin_gauge_control.h"
#include "ui/skin_resources.h"

namespace korvun {
namespace {

wxBitmap Filled(int width, int height, const wxColour& colour) {
    wxImage image(width, height);
    image.SetRGB(wxRect(0, 0, width, height), colour.Red(), colour.Green(), colour.Blue());
    return wxBitmap(image, 24);
}

wxColour PixelOf(const wxBitmap& bitmap, int x, int y) {
    wxImage image = bitmap.ConvertToImage();
    return wxColour(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
}

TEST(SkinTest, EveryBitmapOfBothSetsIsEmbeddedAt24BitsInItsSize) {
    struct Expected {
        int id, width, height;
    };
    const Expected expected[] = {
        {167, 750, 550}, {180, 660, 495}, {181, 515, 8},  {182, 515, 8},  {183, 515, 8},
        {185, 26, 24},   {187, 26, 24},   {188, 26, 24},  {184, 25, 24},  {186, 25, 24},
        {189, 25, 24},   {171, 67, 21},   {172, 67, 21},  {173, 67, 21},  {177, 67, 21},
        {178, 67, 21},   {179, 67, 21},   {168, 148, 38}, {169, 148, 38}, {170, 148, 38},
        {174, 165, 50},  {175, 165, 50},  {176, 165, 50},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.id);
        std::span<const unsigned char> bytes = FindSkinResource(e.id);
        ASSERT_GE(bytes.size(), 54u);
        // BITMAPINFOHEADER: 24 bits per pixel, no compression.
        EXPECT_EQ(bytes[28] | bytes[29] << 8, 24);
        EXPECT_EQ(bytes[30] | bytes[31] << 8 | bytes[32] << 16 | bytes[33] << 24, 0);
        wxBitmap bitmap = LoadSkinBitmap(e.id);
        ASSERT_TRUE(bitmap.IsOk());
        EXPECT_EQ(bitmap.GetWidth(), e.width);
        EXPECT_EQ(bitmap.GetHeight(), e.height);
    }
    EXPECT_TRUE(FindSkinResource(999).empty());
    EXPECT_FALSE(LoadSkinBitmap(999).IsOk());
}

TEST(SkinTest, ButtonPicturesDifferFromEachOther) {
    for (const SkinSet& set : kSkinSets) {
        for (auto ids : {std::array{set.closeNormal, set.closeHover, set.closePressed},
                         std::array{set.startNormal, set.startHover, set.startPressed}}) {
            wxImage normal = LoadSkinBitmap(ids[0]).ConvertToImage();
            wxImage hover = LoadSkinBitmap(ids[1]).ConvertToImage();
            wxImage pressed = LoadSkinBitmap(ids[2]).ConvertToImage();
            size_t pixels = static_cast<size_t>(normal.GetWidth()) * normal.GetHeight();
            auto differing = [pixels](const wxImage& a, const wxImage& b) {
                size_t count = 0;
                for (size_t i = 0; i < pixels * 3; i += 3) {
                    int distance = 0;
                    for (size_t c = 0; c < 3; ++c) {
                        distance += std::abs(a.GetData()[i + c] - b.GetData()[i + c]);
                    }
                    count += distance > 30 ? 1 : 0;
                }
                return count;
            };
            // A quarter of the pixels at least, so that the player sees the change.
            EXPECT_GT(differing(normal, hover) * 4, pixels) << ids[1];
            EXPECT_GT(differing(normal, pressed) * 4, pixels) << ids[2];
            EXPECT_GT(differing(hover, pressed) * 4, pixels) << ids[2];
        }
    }
}

TEST(BitmapRegionTest, ReadsPixelsTopDownAsBlueGreenRedOverTheRoundedWidth) {
    wxImage image(6, 2);
    image.SetRGB(wxRect(0, 0, 6, 2), 1, 2, 3);
    image.SetRGB(0, 1, 10, 20, 30);
    image.SetRGB(3, 0, 40, 50, 60);
    std::optional<BitmapPixels> pixels = ReadBitmapPixels(wxBitmap(image, 24));
    ASSERT_TRUE(pixels);
    EXPECT_EQ(pixels->width, 4);
    EXPECT_EQ(pixels->height, 2);
    ASSERT_EQ(pixels->bgr.size(), 4u * 2 * 3);
    EXPECT_EQ(pixels->bgr[3 * 3 + 0], 60);  // row 0, column 3
    EXPECT_EQ(pixels->bgr[3 * 3 + 2], 40);
    EXPECT_EQ(pixels->bgr[4 * 3 + 0], 30);  // row 1, column 0
    EXPECT_EQ(pixels->bgr[4 * 3 + 1], 20);
    EXPECT_EQ(pixels->bgr[4 * 3 + 2], 10);

    EXPECT_FALSE(ReadBitmapPixels(wxBitmap()));
    EXPECT_FALSE(ReadBitmapPixels(Filled(3, 5, *wxWHITE))) << "nothing left of 3 columns";
}

TEST(BitmapRegionTest, CutsOutExactlyTheKeyColouredPixels) {
    wxImage image(750, 20);
    image.SetRGB(wxRect(0, 0, 750, 20), 30, 30, 40);
    image.SetRGB(0, 0, 0, 0, 243);
    image.SetRGB(10, 5, 0, 0, 243);
    image.SetRGB(11, 5, 0, 0, 242);  // near the key is not the key
    image.SetRGB(749, 19, 0, 0, 243);
    std::optional<wxRegion> region = BuildRegionFromBitmap(wxBitmap(image, 24), 0, 0, 243);
    ASSERT_TRUE(region);
    EXPECT_EQ(region->GetBox(), wxRect(0, 0, 748, 20)) << "750 columns give a region of 748";
    EXPECT_EQ(region->Contains(0, 0), wxOutRegion);
    EXPECT_EQ(region->Contains(10, 5), wxOutRegion);
    EXPECT_EQ(region->Contains(11, 5), wxInRegion);
    EXPECT_EQ(region->Contains(1, 0), wxInRegion);
    EXPECT_EQ(region->Contains(747, 19), wxInRegion);
    EXPECT_EQ(region->Contains(748, 0), wxOutRegion);

    std::optional<wxRegion> plain = BuildRegionFromBitmap(Filled(16, 8, *wxWHITE), 0, 0, 243);
    ASSERT_TRUE(plain);
    wxRegion rectangle(0, 0, 16, 8);
    EXPECT_TRUE(plain->IsEqual(rectangle)) << "no key pixel: the plain rectangle";
    EXPECT_FALSE(BuildRegionFromBitmap(wxBitmap(), 0, 0, 243));
}

TEST(BitmapRegionTest, SkinBackgroundIsRoundedAndKeepsItsInside) {
    std::optional<wxRegion> region = BuildRegionFromBitmap(LoadSkinBitmap(167), 0, 0, 243);
    ASSERT_TRUE(region);
    EXPECT_EQ(region->GetBox().GetWidth(), 748);
    EXPECT_EQ(region->Contains(0, 0), wxOutRegion);
    EXPECT_EQ(region->Contains(747, 549), wxOutRegion);
    EXPECT_EQ(region->Contains(375, 0), wxInRegion);
    EXPECT_EQ(region->Contains(375, 275), wxInRegion);
    EXPECT_EQ(region->Contains(0, 275), wxInRegion);
}

class SkinGaugeDrawTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gauge_.Init(5, 2, Filled(515, 8, wxColour(10, 10, 10)), Filled(515, 8, *wxGREEN));
        model_.SetWidth(gauge_.Width());
        model_.SetPainter([this](bool withBackground, int width) {
            gauge_.SetPainted(withBackground, width);
            ++paints_;
        });
    }

    // Draws the gauge as the window would onto a red target and returns the target.
    wxBitmap Drawn(bool withBackground) {
        wxBitmap target = Filled(530, 12, *wxRED);
        wxMemoryDC dc(target);
        gauge_.Draw(dc, withBackground);
        dc.SelectObject(wxNullBitmap);
        return target;
    }

    CSkinGauge gauge_;
    SkinGauge model_;
    int paints_ = 0;
};

TEST_F(SkinGaugeDrawTest, FillIsTruncatedToWholePixelsFromTheLeftEdge) {
    model_.SetRange(0, 1000);
    model_.SetPos(999);  // 0.999 of 515 pixels
    EXPECT_EQ(gauge_.FillWidth(), 514);
    wxBitmap drawn = Drawn(true);
    EXPECT_EQ(PixelOf(drawn, 5, 2), *wxGREEN);
    EXPECT_EQ(PixelOf(drawn, 5 + 513, 9), *wxGREEN);
    EXPECT_EQ(PixelOf(drawn, 5 + 514, 2), wxColour(10, 10, 10));
    EXPECT_EQ(PixelOf(drawn, 4, 2), *wxRED);
    EXPECT_EQ(PixelOf(drawn, 5, 10), *wxRED);
}

TEST_F(SkinGaugeDrawTest, ShrinkingBarIsDrawnOverItsBackgroundGrowingOneIsNot) {
    model_.SetRange(0, 100);
    model_.SetPos(80);
    EXPECT_FALSE(gauge_.BackgroundPending());
    model_.SetPos(20);
    EXPECT_TRUE(gauge_.BackgroundPending());
    EXPECT_EQ(gauge_.FillWidth(), 103);
    wxBitmap drawn = Drawn(gauge_.BackgroundPending());
    EXPECT_EQ(PixelOf(drawn, 5 + 102, 4), *wxGREEN);
    EXPECT_EQ(PixelOf(drawn, 5 + 103, 4), wxColour(10, 10, 10)) << "old fill covered";

    model_.SetPos(80);
    EXPECT_FALSE(gauge_.BackgroundPending());
    drawn = Drawn(gauge_.BackgroundPending());
    EXPECT_EQ(PixelOf(drawn, 5 + 411, 4), *wxGREEN);
    EXPECT_EQ(PixelOf(drawn, 5 + 412, 4), *wxRED) << "only the fill is drawn";
}

TEST_F(SkinGaugeDrawTest, EmptyGaugeDrawsNothingAndUnchangedWidthIsNotRepainted) {
    model_.SetRange(0, 1 << 20);
    model_.SetPos(0);
    wxBitmap drawn = Drawn(false);
    EXPECT_EQ(PixelOf(drawn, 5, 2), *wxRED);
    int before = paints_;
    model_.SetPos(1);  // far less than a pixel
    model_.SetPos(2);
    EXPECT_EQ(paints_, before);
}

}  // namespace
}  // namespace korvun

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display; running them does.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    korvun::test::XDisplay display;
    setenv("DISPLAY", display.Name().c_str(), 1);
    wxApp::SetInstance(new wxApp());
    if (!wxEntryStart(argc, argv)) return 1;
    int result = RUN_ALL_TESTS();
    wxEntryCleanup();
    return result;
}
