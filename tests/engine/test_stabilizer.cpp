// The two video stabilisers on synthetic camera motion: what each returns on its first step, how
// the smoothed trajectory trails a steady motion and where the correction is limited, shake removed
// from the current picture the way the display applies the correction, the crop border, the
// fallbacks when motion cannot be measured, and pictures they must refuse.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "stabilizer1.h"
#include "stabilizer2.h"

namespace {

const cv::Size kFrame(320, 240);

// Camera pose of one synthetic picture: content displaced by (x, y) pixels and turned by `angle`
// radians about the picture centre.
struct Shot {
    double x, y, angle;
};

// Blurred random blocks: plenty of corners, no repeating pattern to confuse the tracker.
const cv::Mat &texture() {
    static cv::Mat base = [] {
        cv::RNG rng(12345);
        cv::Mat img(1000, 1400, CV_8UC3, cv::Scalar(90, 90, 90));
        for (int i = 0; i < 2500; i++) {
            cv::Rect block(rng.uniform(0, img.cols), rng.uniform(0, img.rows), rng.uniform(4, 30),
                           rng.uniform(4, 30));
            cv::rectangle(img, block,
                          cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256)),
                          cv::FILLED);
        }
        cv::GaussianBlur(img, img, cv::Size(3, 3), 0);
        cv::Mat bgra;
        cv::cvtColor(img, bgra, cv::COLOR_BGR2BGRA);
        return bgra;
    }();
    return base;
}

// Homogeneous map from texture coordinates to picture coordinates for a shot.
cv::Matx33d shot_matrix(const Shot &s) {
    const cv::Mat &base = texture();
    double c = std::cos(s.angle), sn = std::sin(s.angle);
    double bx = base.cols / 2.0, by = base.rows / 2.0;
    double fx = kFrame.width / 2.0 + s.x, fy = kFrame.height / 2.0 + s.y;
    return cv::Matx33d(c, -sn, fx - (c * bx - sn * by), sn, c, fy - (sn * bx + c * by), 0, 0, 1);
}

cv::Mat render(const Shot &s) {
    cv::Matx33d m = shot_matrix(s);
    cv::Mat affine =
        (cv::Mat_<double>(2, 3) << m(0, 0), m(0, 1), m(0, 2), m(1, 0), m(1, 1), m(1, 2));
    cv::Mat out;
    cv::warpAffine(texture(), out, affine, kFrame, cv::INTER_LINEAR);
    return out;
}

cv::Mat luma(const cv::Mat &bgra) {
    cv::Mat gray;
    cv::cvtColor(bgra, gray, cv::COLOR_BGRA2GRAY);
    return gray;
}

// True motion of the content from one shot to the next, as translation and rotation of a
// transform about the picture origin (the form the stabilisers measure).
struct Step {
    double dx, dy, da;
};

Step true_step(const Shot &from, const Shot &to) {
    cv::Matx33d g = shot_matrix(to) * shot_matrix(from).inv();
    return {g(0, 2), g(1, 2), std::atan2(g(1, 0), g(0, 0))};
}

double rotation_of(const cv::Mat &t) {
    return std::atan2(t.at<double>(1, 0), t.at<double>(0, 0));
}

// How far a scalar Kalman filter with process noise q and measurement noise r, settled on a
// value that grows by one unit per step, stays behind it (in units of the growth per step).
double steady_lag(double q, double r) {
    double prior = (q + std::sqrt(q * q + 4 * q * r)) / 2;
    double gain = prior / (prior + r);
    return (1 - gain) / gain;
}

// Motion of the content from picture a to picture b at the picture centre, by intensity-based
// alignment of their luma: independent of the corner tracking under test, and without the bias
// that phase correlation has on shifts below a pixel.
Step measured_motion(const cv::Mat &a, const cv::Mat &b) {
    cv::Mat fa, fb;
    luma(a).convertTo(fa, CV_32F);
    luma(b).convertTo(fb, CV_32F);
    cv::Mat w = cv::Mat::eye(2, 3, CV_32F);
    cv::findTransformECC(
        fa, fb, w, cv::MOTION_EUCLIDEAN,
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 1e-4), cv::noArray(),
        5);
    double cx = a.cols / 2.0, cy = a.rows / 2.0;
    double mx = w.at<float>(0, 0) * cx + w.at<float>(0, 1) * cy + w.at<float>(0, 2);
    double my = w.at<float>(1, 0) * cx + w.at<float>(1, 1) * cy + w.at<float>(1, 2);
    return {mx - cx, my - cy, std::atan2(w.at<float>(1, 0), w.at<float>(0, 0))};
}

std::unique_ptr<VideoStab> create(int algorithm) {
    if (algorithm == 1)
        return std::unique_ptr<VideoStab>(VideoStab1::Create());
    return std::unique_ptr<VideoStab>(VideoStab2::Create());
}

double scale_of(const cv::Mat &t) {
    return std::hypot(t.at<double>(0, 0), t.at<double>(1, 0));
}

// With no smoothed trajectory yet, the first correction puts the current picture back onto the
// previous one: the first algorithm negates its forward step and keeps the measured scale, the
// second returns the motion it measured back to the previous picture, without scale.
TEST(Stabilizer1, FirstStepIsTakenBack) {
    Shot s0{0, 0, 0}, s1{3, -2, 0.02};
    std::unique_ptr<VideoStab> stab = create(1);
    auto *imp = static_cast<VideoStabimp *>(stab.get());

    cv::Mat t = stab->stabilize(luma(render(s0)), luma(render(s1)));

    ASSERT_EQ(t.rows, 2);
    ASSERT_EQ(t.cols, 3);
    ASSERT_EQ(t.type(), CV_64F);
    EXPECT_EQ(imp->k, 2);

    // The estimate maps the previous picture onto the current one.
    Step truth = true_step(s0, s1);
    EXPECT_NEAR(imp->sum_transX, truth.dx, 0.15);
    EXPECT_NEAR(imp->sum_transY, truth.dy, 0.15);
    EXPECT_NEAR(imp->sum_thetha, truth.da, 0.002);

    EXPECT_EQ(t.at<double>(0, 2), -imp->sum_transX);
    EXPECT_EQ(t.at<double>(1, 2), -imp->sum_transY);
    EXPECT_NEAR(rotation_of(t), -imp->sum_thetha, 1e-12);
    EXPECT_NEAR(scale_of(t), imp->sx, 1e-12);
    EXPECT_NEAR(imp->sx, 1.0, 0.005);
}

TEST(Stabilizer2, FirstStepIsTheMotionBack) {
    Shot s0{0, 0, 0}, s1{3, -2, 0.02};
    std::unique_ptr<VideoStab> stab = create(2);
    auto *imp = static_cast<VideoStabimp2 *>(stab.get());

    cv::Mat t = stab->stabilize(luma(render(s0)), luma(render(s1)));

    ASSERT_EQ(t.rows, 2);
    ASSERT_EQ(t.cols, 3);
    ASSERT_EQ(t.type(), CV_64F);
    EXPECT_EQ(imp->k, 2);

    // The estimate maps the current picture back onto the previous one.
    Step back = true_step(s1, s0);
    ASSERT_FALSE(imp->last_T.empty());
    EXPECT_NEAR(imp->last_T.at<double>(0, 2), back.dx, 0.15);
    EXPECT_NEAR(imp->last_T.at<double>(1, 2), back.dy, 0.15);
    EXPECT_NEAR(rotation_of(imp->last_T), back.da, 0.002);

    EXPECT_EQ(t.at<double>(0, 2), imp->last_T.at<double>(0, 2));
    EXPECT_EQ(t.at<double>(1, 2), imp->last_T.at<double>(1, 2));
    EXPECT_NEAR(rotation_of(t), rotation_of(imp->last_T), 1e-12);
    EXPECT_NEAR(scale_of(t), 1.0, 1e-12);
}

// A camera moving steadily for long enough for the filter to settle: the smoothed trajectory
// trails the raw one by a fixed number of steps, and the correction pulls the current picture back
// by that many steps, limited to +-50 pixels and +-0.15 radians. The limited cases check that the
// limit is applied exactly.
struct SteadyCase {
    int algorithm;
    double vx, vy, spin; // per picture
};

std::ostream &operator<<(std::ostream &os, const SteadyCase &c) {
    return os << "algorithm " << c.algorithm << " moving (" << c.vx << ", " << c.vy << ") turning "
              << c.spin;
}

class SteadyMotion : public ::testing::TestWithParam<SteadyCase> {};

void expect_limited(double actual, double unlimited, double limit, double tolerance) {
    if (std::fabs(unlimited) > limit + tolerance)
        EXPECT_DOUBLE_EQ(actual, std::copysign(limit, unlimited)) << "unlimited " << unlimited;
    else
        EXPECT_NEAR(actual, unlimited, tolerance);
}

TEST_P(SteadyMotion, CorrectionTrailsByTheFilterLagAndIsLimited) {
    const SteadyCase &c = GetParam();
    const int pictures = 90;
    std::unique_ptr<VideoStab> stab = create(c.algorithm);
    // The two filters differ in measurement noise, so they settle to different lags.
    double lag = c.algorithm == 1 ? steady_lag(0.004, 0.5) : steady_lag(0.004, 0.25);

    Shot start{-c.vx * pictures / 2, -c.vy * pictures / 2, 0};
    Shot prev_shot = start, shot = start;
    cv::Mat prev = luma(render(start));
    cv::Mat t;
    for (int n = 1; n < pictures; n++) {
        shot = Shot{start.x + c.vx * n, start.y + c.vy * n, c.spin * n};
        cv::Mat cur = luma(render(shot));
        t = stab->stabilize(prev, cur);
        ASSERT_FALSE(t.empty()) << "picture " << n;
        if (n < pictures - 1) {
            prev = cur;
            prev_shot = shot;
        }
    }

    // Back by `lag` steps: against the forward step for the first algorithm, along the step back
    // for the second.
    Step want = c.algorithm == 1 ? true_step(prev_shot, shot) : true_step(shot, prev_shot);
    double sign = c.algorithm == 1 ? -lag : lag;
    want = {sign * want.dx, sign * want.dy, sign * want.da};
    expect_limited(t.at<double>(0, 2), want.dx, 50, 0.3);
    expect_limited(t.at<double>(1, 2), want.dy, 50, 0.3);
    expect_limited(rotation_of(t), want.da, 0.15, 0.003);
    if (c.algorithm == 1) {
        // The stored correction keeps its full value; only the returned copy is limited.
        auto *imp = static_cast<VideoStabimp *>(stab.get());
        EXPECT_NEAR(imp->dx, want.dx, 0.3);
        EXPECT_NEAR(imp->dy, want.dy, 0.3);
        EXPECT_NEAR(imp->da, want.da, 0.003);
    }
}

INSTANTIATE_TEST_SUITE_P(Stabilizers, SteadyMotion,
                         ::testing::Values(SteadyCase{1, 2, -1, 0}, SteadyCase{1, -6, 0, 0},
                                           SteadyCase{1, 0, 0, 0.02}, SteadyCase{2, 2, -1, 0},
                                           SteadyCase{2, 10, 0, 0}, SteadyCase{2, 0, 0, -0.03}));

// The display measures each picture against the one before and warps the current colour picture
// with the correction. Random shake on top of a slow pan: the output must keep the pan and lose
// most of the shake, in translation and in rotation.
struct ShakeCase {
    int algorithm;
    int border; // columns cropped from each side
};

std::ostream &operator<<(std::ostream &os, const ShakeCase &c) {
    return os << "algorithm " << c.algorithm;
}

class ShakenPan : public ::testing::TestWithParam<ShakeCase> {};

TEST_P(ShakenPan, CurrentPictureFollowsSmoothedPath) {
    const ShakeCase &c = GetParam();
    const int pictures = 90, settle = 30;
    const double pan_x = 0.5, pan_y = 0.3;
    std::mt19937 rng(7);
    std::normal_distribution<double> shake(0, 2.0), spin(0, 0.005);
    std::vector<Shot> shots;
    for (int n = 0; n < pictures; n++)
        shots.push_back({pan_x * n + shake(rng), pan_y * n + shake(rng), spin(rng)});

    std::unique_ptr<VideoStab> stab = create(c.algorithm);
    // Output pictures are the crop scaled back up, which scales their motion too.
    const double zoom_x = kFrame.width / double(kFrame.width - 2 * c.border);
    const double zoom_y =
        kFrame.height / double(kFrame.height - 2 * videostab::vertical_border(kFrame, c.border));
    cv::Mat prev_luma = luma(render(shots[0])), prev_out;
    double raw_sq = 0, out_sq = 0, raw_turn_sq = 0, out_turn_sq = 0, out_x = 0, out_y = 0;
    int counted = 0;
    for (int n = 1; n < pictures; n++) {
        cv::Mat colour = render(shots[n]);
        ASSERT_EQ(colour.type(), CV_8UC4);
        cv::Mat cur_luma = luma(colour);
        cv::Mat t = stab->stabilize(prev_luma, cur_luma);
        ASSERT_FALSE(t.empty()) << "picture " << n;
        cv::Mat out = stab->warp_frame(t, colour).clone();
        ASSERT_EQ(out.size(), kFrame);
        ASSERT_EQ(out.type(), CV_8UC4);
        if (n > settle) {
            Step o = measured_motion(prev_out, out);
            double ox = o.dx / zoom_x - pan_x, oy = o.dy / zoom_y - pan_y;
            double rx = shots[n].x - shots[n - 1].x - pan_x;
            double ry = shots[n].y - shots[n - 1].y - pan_y;
            double rt = shots[n].angle - shots[n - 1].angle;
            raw_sq += rx * rx + ry * ry;
            out_sq += ox * ox + oy * oy;
            raw_turn_sq += rt * rt;
            out_turn_sq += o.da * o.da;
            out_x += o.dx / zoom_x;
            out_y += o.dy / zoom_y;
            counted++;
        }
        prev_out = out;
        prev_luma = cur_luma;
    }
    double raw_rms = std::sqrt(raw_sq / counted), out_rms = std::sqrt(out_sq / counted);
    double raw_turn = std::sqrt(raw_turn_sq / counted), out_turn = std::sqrt(out_turn_sq / counted);
    EXPECT_LT(out_rms, raw_rms / 3) << "raw " << raw_rms << " px, left " << out_rms << " px";
    EXPECT_LT(out_turn, raw_turn / 3) << "raw " << raw_turn << " rad, left " << out_turn << " rad";
    EXPECT_NEAR(out_x / counted, pan_x, 0.1);
    EXPECT_NEAR(out_y / counted, pan_y, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Stabilizers, ShakenPan,
                         ::testing::Values(ShakeCase{1, 30}, ShakeCase{2, 20}));

// warp_frame with the identity only crops: marked first and last kept rows and columns must
// become the output's edges, and nothing of the border may remain.
struct CropCase {
    int algorithm;
    int cols, rows; // cropped from each side of 1280x720
};

std::ostream &operator<<(std::ostream &os, const CropCase &c) {
    return os << "algorithm " << c.algorithm << " crops " << c.cols << "x" << c.rows;
}

class Crop : public ::testing::TestWithParam<CropCase> {};

TEST_P(Crop, IdentityCropsBorderAndScalesBack) {
    const CropCase &c = GetParam();
    const cv::Vec4b black(0, 0, 0, 255), white(255, 255, 255, 255), mark(0, 0, 255, 255);
    cv::Mat picture(720, 1280, CV_8UC4, black);
    cv::Rect kept(c.cols, c.rows, 1280 - 2 * c.cols, 720 - 2 * c.rows);
    picture(kept).setTo(mark);
    picture(cv::Rect(kept.x + 1, kept.y + 1, kept.width - 2, kept.height - 2)).setTo(white);

    std::unique_ptr<VideoStab> stab = create(c.algorithm);
    cv::Mat out = stab->warp_frame(cv::Mat::eye(2, 3, CV_64F), picture);

    ASSERT_EQ(out.size(), picture.size());
    ASSERT_EQ(out.type(), CV_8UC4);
    const int mid_x = 640, mid_y = 360;
    EXPECT_EQ(out.at<cv::Vec4b>(mid_y, 0), mark);
    EXPECT_EQ(out.at<cv::Vec4b>(mid_y, 1279), mark);
    EXPECT_EQ(out.at<cv::Vec4b>(0, mid_x), mark);
    EXPECT_EQ(out.at<cv::Vec4b>(719, mid_x), mark);
    EXPECT_EQ(out.at<cv::Vec4b>(mid_y, mid_x), white);
}

INSTANTIATE_TEST_SUITE_P(Stabilizers, Crop,
                         ::testing::Values(CropCase{1, 30, 16}, CropCase{2, 20, 11}));

const cv::Mat kFlat(kFrame, CV_8UC1, cv::Scalar(128));

TEST(Stabilizer1, FlatPictureRepeatsLastMotionOrGivesNothing) {
    std::unique_ptr<VideoStab> stab = create(1);
    auto *imp = static_cast<VideoStabimp *>(stab.get());

    // No motion measured yet: nothing to repeat.
    testing::internal::CaptureStderr();
    cv::Mat t = stab->stabilize(kFlat, kFlat);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(log.rfind("stabilize.", 0), 0u) << log;
    EXPECT_NE(log.find(" Features1 Empty\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" affine. Empty\n"), std::string::npos) << log;
    EXPECT_EQ(imp->k, 1);
    EXPECT_EQ(imp->sum_transX, 0.0);

    ASSERT_FALSE(stab->stabilize(luma(render({0, 0, 0})), luma(render({4, 0, 0}))).empty());
    double step = imp->sum_transX;

    // Features lost: the last step is taken again.
    testing::internal::CaptureStderr();
    t = stab->stabilize(kFlat, kFlat);
    log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(t.empty());
    EXPECT_NE(log.find("Features1 Empty"), std::string::npos) << log;
    EXPECT_EQ(log.find("affine. Empty"), std::string::npos) << log;
    EXPECT_NEAR(step, 4.0, 0.15);
    EXPECT_DOUBLE_EQ(imp->sum_transX, 2 * step);
}

TEST(Stabilizer2, FlatPictureReturnsLastRawEstimate) {
    std::unique_ptr<VideoStab> stab = create(2);
    auto *imp = static_cast<VideoStabimp2 *>(stab.get());

    EXPECT_TRUE(stab->stabilize(kFlat, kFlat).empty());
    EXPECT_EQ(imp->k, 1);

    ASSERT_FALSE(stab->stabilize(luma(render({0, 0, 0})), luma(render({4, 0, 0}))).empty());
    cv::Mat raw = imp->last_T.clone();
    double x = imp->x;

    cv::Mat t = stab->stabilize(kFlat, kFlat);
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(cv::norm(t, raw, cv::NORM_INF), 0.0);
    EXPECT_NEAR(t.at<double>(0, 2), -4.0, 0.15);
    EXPECT_FALSE(t.data == imp->last_T.data) << "must be a copy";
    EXPECT_EQ(imp->x, x);
}

// Pairs that cannot be measured give no transform and leave the stabiliser as it was.
TEST(Stabilizers, UnusablePairsGiveNothing) {
    cv::Mat grey = luma(render({0, 0, 0}));
    cv::Mat larger;
    cv::resize(grey, larger, cv::Size(640, 360));
    struct {
        const char *what;
        cv::Mat previous, current;
    } cases[] = {
        {"both empty", cv::Mat(), cv::Mat()},
        {"previous empty", cv::Mat(), grey},
        {"resolution change", larger, grey},
        {"colour picture", render({0, 0, 0}), grey},
        {"16-bit luma", cv::Mat(kFrame, CV_16UC1, cv::Scalar(9)), cv::Mat(kFrame, CV_16UC1)},
        {"narrower than both borders", grey(cv::Rect(0, 0, 40, 40)), grey(cv::Rect(2, 0, 40, 40))},
        {"one pixel", cv::Mat(1, 1, CV_8UC1, cv::Scalar(1)), cv::Mat(1, 1, CV_8UC1)},
    };
    for (int algorithm = 1; algorithm <= 2; algorithm++) {
        std::unique_ptr<VideoStab> stab = create(algorithm);
        for (const auto &c : cases) {
            cv::Mat t;
            EXPECT_NO_THROW(t = stab->stabilize(c.previous, c.current)) << c.what;
            EXPECT_TRUE(t.empty()) << "algorithm " << algorithm << ": " << c.what;
        }
        if (algorithm == 1)
            EXPECT_EQ(static_cast<VideoStabimp *>(stab.get())->k, 1);
        else
            EXPECT_EQ(static_cast<VideoStabimp2 *>(stab.get())->k, 1);
    }
}

// Just wide enough for the second algorithm's border but not the first's: the first refuses it,
// the second measures it without throwing.
TEST(Stabilizers, NarrowPictureBetweenTheBorders) {
    cv::Mat a = luma(render({0, 0, 0}))(cv::Rect(100, 80, 50, 40)).clone();
    cv::Mat b = luma(render({2, 1, 0}))(cv::Rect(100, 80, 50, 40)).clone();
    EXPECT_TRUE(create(1)->stabilize(a, b).empty());
    std::unique_ptr<VideoStab> second = create(2);
    EXPECT_NO_THROW(second->stabilize(a, b));
    cv::Mat colour(40, 50, CV_8UC4, cv::Scalar(1, 2, 3, 4));
    cv::Mat out = second->warp_frame(cv::Mat::eye(2, 3, CV_64F), colour);
    EXPECT_EQ(out.size(), colour.size());
}

TEST(Stabilizers, WarpLeavesPictureAloneWhenItCannotCrop) {
    cv::Mat identity = cv::Mat::eye(2, 3, CV_64F);
    cv::Mat narrow(100, 60, CV_8UC4, cv::Scalar(1, 2, 3, 4));
    cv::Mat picture = render({0, 0, 0});
    for (int algorithm = 1; algorithm <= 2; algorithm++) {
        std::unique_ptr<VideoStab> stab = create(algorithm);
        cv::Mat narrower = narrow.colRange(0, algorithm == 1 ? 60 : 40);
        EXPECT_EQ(stab->warp_frame(identity, narrower).data, narrower.data);
        EXPECT_TRUE(stab->warp_frame(identity, cv::Mat()).empty());
        EXPECT_EQ(stab->warp_frame(cv::Mat(), picture).data, picture.data);
        EXPECT_EQ(stab->warp_frame(cv::Mat::eye(3, 3, CV_64F), picture).data, picture.data);
    }
}

} // namespace
