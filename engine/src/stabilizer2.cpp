// Second stabiliser algorithm.
#include "stabilizer2.h"

#include <algorithm>
#include <cmath>

// Columns cropped from each side of the warped picture.
static const int HORIZONTAL_BORDER_CROP = 20;

// Every VideoStab2 is a VideoStabimp2: Create() is the only way to make one.
static VideoStabimp2 *GetImpl(VideoStab2 *stab) {
    return static_cast<VideoStabimp2 *>(stab);
}

VideoStab2 *VideoStab2::Create() {
    return new VideoStabimp2();
}

// The qualified calls reach the implementation without dispatching back here.
cv::Mat VideoStab2::stabilize(cv::Mat previous, cv::Mat current) {
    return GetImpl(this)->VideoStabimp2::stabilize(previous, current);
}

cv::Mat VideoStab2::warp_frame(cv::Mat transform, cv::Mat picture) {
    return GetImpl(this)->VideoStabimp2::warp_frame(transform, picture);
}

// Starts the estimate at the origin on the first usable step, then follows the accumulated
// trajectory z with one Kalman step per component.
void VideoStabimp2::filter(const Trajectory &z) {
    if (k == 1) {
        X = Trajectory(0, 0, 0);
        P = Trajectory(1, 1, 1);
        k = 2;
        return;
    }
    X_ = X;
    P_ = P + Q;
    K = P_ / (P_ + R);
    X = X_ + K * (z - X_);
    P = (Trajectory(1, 1, 1) - K) * P_;
}

// Measures the motion from `current` back to `previous`, adds it to the trajectory and returns the
// transform that moves `current` onto the smoothed trajectory. Without usable features the last
// raw estimate is returned and the trajectory is left alone.
cv::Mat VideoStabimp2::stabilize(cv::Mat previous, cv::Mat current) {
    if (!videostab::luma_pair_usable(previous, current, HORIZONTAL_BORDER_CROP))
        return cv::Mat();

    std::vector<cv::Point2f> from, to;
    videostab::track_corners(current, previous, from, to);
    if (from.empty() || to.empty())
        return last_T.clone();

    cv::Mat T = videostab::estimate_rigid(from, to);
    if (T.empty())
        T = last_T.clone();
    last_T = T.clone();
    if (T.empty())
        return cv::Mat();

    double dx = T.at<double>(0, 2);
    double dy = T.at<double>(1, 2);
    double da = std::atan2(T.at<double>(1, 0), T.at<double>(0, 0));
    x += dx;
    y += dy;
    a += da;
    filter(Trajectory(x, y, a));

    // (x, y, a) sums the motions back to each previous picture, so the current picture sits at
    // minus that sum along the camera path and the smoothed path at minus X. The display warps
    // the current picture, which therefore moves by the raw sum less its filtered value; on the
    // first usable step X is the origin and the picture is put back onto the previous one.
    // Limited so that one bad estimate cannot throw the picture far off.
    sdx = std::clamp(x - X.x, -50.0, 50.0);
    sdy = std::clamp(y - X.y, -50.0, 50.0);
    sda = std::clamp(a - X.a, -0.15, 0.15);

    T = (cv::Mat_<double>(2, 3) << std::cos(sda), -std::sin(sda), sdx, std::sin(sda), std::cos(sda),
         sdy);
    return T;
}

cv::Mat VideoStabimp2::warp_frame(cv::Mat transform, cv::Mat picture) {
    cv::Mat out;
    if (!videostab::warp_crop_rescale(transform, picture, HORIZONTAL_BORDER_CROP, out))
        return picture;
    return out;
}
