#include "images/TouchGesture.h"
#include "images/ImageTouch.h"

#include "core/SharedState.h"
#include "device/ChannelTable.h"
#include "images/ChildForm.h"
#include "scan/ImageBuffers.h"

#include <QCoreApplication>
#include <QPointingDevice>
#include <QTouchEvent>

#include <gtest/gtest.h>

#include <memory>

using namespace qvt;

namespace {

TTouchPoint P(int id, double x, double y, TouchPhase phase = TouchPhase::Move)
{
    return {id, QPointF(x, y), phase};
}

std::vector<TTouchStep::Kind> Kinds(const TTouchSteps& steps)
{
    std::vector<TTouchStep::Kind> k;
    for (const TTouchStep& s : steps)
        k.push_back(s.What);
    return k;
}

const TTouchStep* FindStep(const TTouchSteps& steps, TTouchStep::Kind kind)
{
    for (const TTouchStep& s : steps) {
        if (s.What == kind)
            return &s;
    }
    return nullptr;
}

// Ranges above `limit` leave the scanner.
bool AboveLimit(double range, const void* limit)
{
    return range > *static_cast<const double*>(limit);
}

TImageTouchGesture::Context ZoomContext(const double* limit = nullptr)
{
    TImageTouchGesture::Context c;
    c.Tool = MouseTool::ZoomCentered;
    c.Range = 1000.0;
    c.View = QRect(0, 0, 256, 256);
    if (limit != nullptr) {
        c.OutOfRange = AboveLimit;
        c.User = limit;
    }
    return c;
}

} // namespace

TEST(ImageTouchGesture, APinchSetsTheRangeByTheFingerDistanceAndAppliesItWhenTheLastFingerLifts)
{
    TImageTouchGesture g;
    const auto c = ZoomContext();
    EXPECT_TRUE(g.Handle({P(1, 100, 100, TouchPhase::Down), P(2, 150, 100, TouchPhase::Down)}, c).empty());
    EXPECT_TRUE(g.Active());

    // Twice the distance: half the range; the picture grows by the distance's change.
    TTouchSteps steps = g.Handle({P(1, 75, 100), P(2, 175, 100)}, c);
    ASSERT_EQ(Kinds(steps), std::vector{TTouchStep::ShowRange});
    EXPECT_DOUBLE_EQ(steps[0].Range, 500.0);
    EXPECT_EQ(steps[0].View, QRect(-25, -25, 306, 306));

    // Half the distance: twice the range, from the same start.
    steps = g.Handle({P(1, 112.5, 100), P(2, 137.5, 100)}, c);
    ASSERT_EQ(Kinds(steps), std::vector{TTouchStep::ShowRange});
    EXPECT_DOUBLE_EQ(steps[0].Range, 2000.0);

    // One finger up: nothing is applied yet, and the other does not move the picture.
    EXPECT_TRUE(g.Handle({P(1, 112, 100, TouchPhase::Up), P(2, 137, 100)}, c).empty());
    EXPECT_TRUE(g.Handle({P(2, 140, 120)}, c).empty());
    steps = g.Handle({P(2, 140, 120, TouchPhase::Up)}, c);
    EXPECT_EQ(Kinds(steps), std::vector{TTouchStep::Apply});
    EXPECT_FALSE(g.Active());
}

TEST(ImageTouchGesture, DegenerateAndOutOfRangePinchesAreSkipped)
{
    const double limit = 1500.0;
    const auto c = ZoomContext(&limit);
    TImageTouchGesture g;
    // Both fingers on one spot: no start distance, no factor.
    g.Handle({P(1, 50, 50, TouchPhase::Down), P(2, 50, 50, TouchPhase::Down)}, c);
    EXPECT_TRUE(g.Handle({P(1, 40, 50), P(2, 60, 50)}, c).empty());
    // Fingers meeting later give no division by zero either.
    g.Handle({P(1, 50, 50, TouchPhase::Up), P(2, 60, 50, TouchPhase::Up)}, c);
    g.Handle({P(1, 40, 50, TouchPhase::Down), P(2, 60, 50, TouchPhase::Down)}, c);
    EXPECT_TRUE(g.Handle({P(1, 50.2, 50), P(2, 50.4, 50)}, c).empty());

    // A range beyond the scanner is ignored; the last one allowed stays.
    TTouchSteps steps = g.Handle({P(1, 45, 50), P(2, 55, 50)}, c); // 20 → 10 px: 2000
    EXPECT_EQ(FindStep(steps, TTouchStep::ShowRange), nullptr);
    steps = g.Handle({P(1, 35, 50), P(2, 65, 50)}, c); // 30 px: 666.7
    ASSERT_NE(FindStep(steps, TTouchStep::ShowRange), nullptr);
    EXPECT_NEAR(FindStep(steps, TTouchStep::ShowRange)->Range, 666.67, 0.01);
}

TEST(ImageTouchGesture, ToolsDecideWhetherFingersMoveThePictureOrPinch)
{
    TImageTouchGesture g;
    auto c = ZoomContext();
    c.Tool = MouseTool::Move;
    // One finger is the left mouse button.
    EXPECT_EQ(Kinds(g.Handle({P(1, 10, 10, TouchPhase::Down)}, c)), std::vector{TTouchStep::MouseDown});
    EXPECT_EQ(Kinds(g.Handle({P(1, 20, 10)}, c)), std::vector{TTouchStep::MouseMove});
    EXPECT_EQ(Kinds(g.Handle({P(1, 20, 10, TouchPhase::Up)}, c)), std::vector{TTouchStep::MouseUp});

    // Two fingers switch to Zoom Centered and move nothing.
    g.Handle({P(1, 10, 10, TouchPhase::Down)}, c);
    TTouchSteps steps = g.Handle({P(1, 10, 10), P(2, 30, 10, TouchPhase::Down)}, c);
    ASSERT_EQ(Kinds(steps), std::vector{TTouchStep::SelectTool});
    EXPECT_EQ(steps[0].Tool, MouseTool::ZoomCentered);
    // Whether or not the tool buttons follow at once, the pinch goes on from there.
    for (MouseTool shown : {MouseTool::Move, MouseTool::ZoomCentered}) {
        c.Tool = shown;
        steps = g.Handle({P(1, 0, 10), P(2, 40, 10)}, c);
        ASSERT_EQ(Kinds(steps), std::vector{TTouchStep::ShowRange});
        EXPECT_DOUBLE_EQ(steps[0].Range, 500.0);
        EXPECT_EQ(steps[0].View, QRect(-10, -10, 276, 276));
    }

    // Finger 1 lifts: finger 2 takes its place and a new finger pinches from here.
    EXPECT_TRUE(g.Handle({P(1, 0, 10, TouchPhase::Up), P(2, 40, 10)}, c).empty());
    g.Handle({P(2, 40, 10), P(5, 60, 10, TouchPhase::Down)}, c);
    steps = g.Handle({P(2, 40, 10), P(5, 80, 10)}, c);
    ASSERT_EQ(Kinds(steps), std::vector{TTouchStep::ShowRange});
    EXPECT_DOUBLE_EQ(steps[0].Range, 500.0); // 20 → 40 px

    // A single finger on a zoom tool goes back to Move and presses there.
    TImageTouchGesture h;
    steps = h.Handle({P(7, 5, 5, TouchPhase::Down)}, ZoomContext());
    ASSERT_EQ(Kinds(steps), (std::vector{TTouchStep::SelectTool, TTouchStep::MouseDown}));
    EXPECT_EQ(steps[0].Tool, MouseTool::Move);
    // The Drag tool leaves fingers alone.
    c.Tool = MouseTool::Drag;
    EXPECT_TRUE(TImageTouchGesture().Handle({P(1, 5, 5, TouchPhase::Down)}, c).empty());
}

TEST(A3DTouchGesture, OneFingerTurnsTwoFingersZoomByTheirDistance)
{
    TA3DTouchGesture g;
    EXPECT_EQ(Kinds(g.Handle({P(1, 10, 10, TouchPhase::Down)})), std::vector{TTouchStep::MouseDown});
    EXPECT_EQ(Kinds(g.Handle({P(1, 30, 10)})), std::vector{TTouchStep::MouseMove});
    // The second finger ends the turn; then every whole pixel of spread zooms.
    EXPECT_EQ(Kinds(g.Handle({P(1, 30, 10), P(2, 70, 10, TouchPhase::Down)})), std::vector{TTouchStep::MouseUp});
    TTouchSteps steps = g.Handle({P(1, 30, 10), P(2, 80, 10)});
    ASSERT_EQ(Kinds(steps), std::vector{TTouchStep::Zoom});
    EXPECT_EQ(steps[0].Steps, 10);
    // Below half a pixel nothing; the changes add up until they count.
    EXPECT_TRUE(g.Handle({P(1, 30, 10), P(2, 80.3, 10)}).empty());
    steps = g.Handle({P(1, 30, 10), P(2, 80.6, 10)});
    ASSERT_EQ(Kinds(steps), std::vector{TTouchStep::Zoom});
    EXPECT_EQ(steps[0].Steps, 1);
    steps = g.Handle({P(1, 30, 10), P(2, 60, 10)});
    EXPECT_EQ(steps[0].Steps, -21);
    // The finger left behind does not turn the view.
    EXPECT_TRUE(g.Handle({P(1, 30, 10), P(2, 60, 10, TouchPhase::Up)}).empty());
    EXPECT_TRUE(g.Handle({P(1, 90, 10)}).empty());
    EXPECT_TRUE(g.Handle({P(1, 90, 10, TouchPhase::Up)}).empty());
    EXPECT_FALSE(g.Active());
}

TEST(ImageTouch, TouchEventsOnThePictureShrinkItWhilePinchingAndRestoreItAfter)
{
    InitTouchApi(true);
    TScanParams saved;
    saved.Range = ScanParams.Range.load();
    ScanParams.Range = 1000.0f;
    TImageTouch::UsedTool = [] { return MouseTool::Zoom; };
    struct Restore {
        float range;
        ~Restore()
        {
            ScanParams.Range = range;
            TImageTouch::UsedTool = nullptr;
            ReleaseTouchApi();
        }
    } restore{saved.Range.load()};
    // X and Y outputs of ±32000 digits at 1 nm each: the pinched ranges fit.
    const auto savedTable = ChannelTable;
    struct RestoreTable {
        const decltype(ChannelTable)& table;
        ~RestoreTable() { ChannelTable = table; }
    } restoreTable{savedTable};
    for (int slot : {SlotX, SlotY}) {
        ChannelTable[slot].Factor = 1.0f;
        ChannelTable[slot].MinRaw = -32000;
        ChannelTable[slot].MaxRaw = 32000;
    }

    TIOScale scale("Topo", "nm");
    TDaten buffer;
    buffer.Scale = &scale;
    ASSERT_TRUE(buffer.AllocBuffers(32, 32));
    // Darkest on the left, brightest on the right.
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            buffer.Data()->Store(y, x, 100 * x);
    TChildForm form(buffer, 0);
    form.resize(256, 256);
    form.show();
    form.ResizeImage();
    form.RecalcPictureRange();
    const TIndexedBitmap before = form.Renderer().Bitmap();
    const uint8_t black = before.At(0, 16);
    ASSERT_NE(before.At(31, 16), black);
    TPaintablePanel* panel = form.Panel2();
    ASSERT_TRUE(panel->testAttribute(Qt::WA_AcceptTouchEvents));
    const QRect whole(panel->DrawnLeft, panel->DrawnTop, panel->DrawnWidth, panel->DrawnHeight);

    QPointingDevice screen("touch screen", 77, QInputDevice::DeviceType::TouchScreen,
                           QPointingDevice::PointerType::Finger, QInputDevice::Capability::Position, 10, 0);
    const auto send = [&](QEvent::Type type, std::initializer_list<std::tuple<int, QEventPoint::State, QPointF>> list) {
        QList<QEventPoint> points;
        for (const auto& [id, state, pos] : list)
            points.append(QEventPoint(id, state, pos, panel->mapToGlobal(pos)));
        QTouchEvent event(type, &screen, Qt::NoModifier, points);
        QCoreApplication::sendEvent(panel, &event);
    };
    using S = QEventPoint::State;
    send(QEvent::TouchBegin, {{1, S::Pressed, {100, 128}}, {2, S::Pressed, {156, 128}}});
    EXPECT_TRUE(ImageTouchActive(form));
    send(QEvent::TouchUpdate, {{1, S::Updated, {114, 128}}, {2, S::Updated, {142, 128}}});
    // Fingers closer by 28 px: the picture drawn 28 px smaller about its middle.
    EXPECT_EQ(QRect(panel->DrawnLeft, panel->DrawnTop, panel->DrawnWidth, panel->DrawnHeight),
              whole.adjusted(14, 14, -14, -14));
    send(QEvent::TouchEnd, {{1, S::Released, {114, 128}}, {2, S::Released, {142, 128}}});
    EXPECT_FALSE(ImageTouchActive(form));
    EXPECT_EQ(QRect(panel->DrawnLeft, panel->DrawnTop, panel->DrawnWidth, panel->DrawnHeight), whole);
    // Until new lines arrive the picture stays as the pinch showed it: the
    // old one shrunk about its middle, black around it.
    const TIndexedBitmap& after = form.Renderer().Bitmap();
    for (int x = 0; x < 32; ++x) {
        EXPECT_EQ(after.At(x, 0), black) << x;
        EXPECT_EQ(after.At(x, 31), black) << x;
    }
    EXPECT_EQ(after.At(31, 16), black);
    EXPECT_EQ(after.At(16, 16), before.At(16, 16));
    EXPECT_EQ(after.At(29, 16), before.At(31, 16));
}
