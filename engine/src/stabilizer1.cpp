// First stabiliser algorithm.
#include "stabilizer1.h"

#include <algorithm>
#include <cmath>

#include "syslog.h"

// Every VideoStab1 is a VideoStabimp: Create() is the only way to make one.
static VideoStabimp *GetImpl(VideoStab1 *stab) {
    return static_cast<VideoStabimp *>(stab);
}

VideoStab1 *VideoStab1::Create() {
    return new VideoStabimp();
}

// The qualified calls reach the implementation without dispatching back here.
cv::Mat VideoStab1::stabilize(cv::Mat previous, cv::Mat current) {
    return GetImpl(this)->VideoStabimp::stabilize(previous, current);
}

cv::Mat VideoStab1::warp_frame(cv::Mat transform, cv::Mat picture) {
    return GetImpl(this)->VideoStabimp::warp_frame(transform, picture);
}

VideoStabimp::VideoStabimp() : smoothedMat(2, 3, CV_64F, cv::Scalar(0)) {}

// One scalar Kalman step; the estimate follows the accumulated value with a gain that settles as
// the error variance shrinks.
static void kalman_step(double &estimate, double &err, double q, double r, double measured) {
    double prior = err + q;
    double gain = prior / (prior + r);
    estimate = estimate + gain * (measured - estimate);
    err = (1 - gain) * prior;
}

void VideoStabimp::Kalman_Filter() {
    kalman_step(thetha, errthetha, Q_thetha, R_thetha, sum_thetha);
    kalman_step(transX, errtransX, Q_transX, R_transX, sum_transX);
    kalman_step(transY, errtransY, Q_transY, R_transY, sum_transY);
}

// The display warps the current picture, which sits at the end of the raw trajectory; moving it
// by the distance from there to the smoothed trajectory puts it on the smoothed path. The measured
// step is not part of the correction: adding it would carry the previous picture onto the path,
// and applied to the current one it would double the shake instead of removing it.
void VideoStabimp::correct_step() {
    diff_transX = transX - sum_transX;
    diff_transY = transY - sum_transY;
    diff_thetha = thetha - sum_thetha;
    dx = diff_transX;
    dy = diff_transY;
    da = diff_thetha;
}

// The corrective transform from limited copies of the correction, so that one bad estimate cannot
// throw the picture far off; dx, dy and da keep their full value.
void VideoStabimp::fill_smoothed_mat() {
    double tx = std::clamp(dx, -50.0, 50.0);
    double ty = std::clamp(dy, -50.0, 50.0);
    double r = std::clamp(da, -0.15, 0.15);
    smoothedMat.at<double>(0, 0) = sx * std::cos(r);
    smoothedMat.at<double>(0, 1) = -sx * std::sin(r);
    smoothedMat.at<double>(0, 2) = tx;
    smoothedMat.at<double>(1, 0) = sy * std::sin(r);
    smoothedMat.at<double>(1, 1) = sy * std::cos(r);
    smoothedMat.at<double>(1, 2) = ty;
}

// Measures the motion from `previous` to `current`, adds it to the trajectory and returns the
// transform that moves `current` onto the smoothed trajectory. When the features are lost the last
// measured motion stands in for this step.
cv::Mat VideoStabimp::stabilize(cv::Mat previous, cv::Mat current) {
    if (!videostab::luma_pair_usable(previous, current, HORIZONTAL_BORDER_CROP))
        return cv::Mat();

    std::vector<cv::Point2f> from, to;
    videostab::track_corners(previous, current, from, to);
    if (!from.empty() && !to.empty())
        affine = videostab::estimate_rigid(from, to);
    else
        QV_DEBUG("Features1 Empty");
    if (affine.empty()) {
        QV_DEBUG("affine. Empty");
        return cv::Mat();
    }

    dx = affine.at<double>(0, 2);
    dy = affine.at<double>(1, 2);
    da = std::atan2(affine.at<double>(1, 0), affine.at<double>(0, 0));
    sx = affine.at<double>(0, 0) / std::cos(da);
    sy = affine.at<double>(1, 1) / std::cos(da);

    sum_transX += dx;
    sum_transY += dy;
    sum_thetha += da;

    // The estimates start at 0, so the first step is cancelled in full: the correction puts the
    // current picture back onto the previous one.
    if (k == 1)
        k = 2;
    else
        Kalman_Filter();

    correct_step();
    fill_smoothed_mat();
    return smoothedMat;
}

cv::Mat VideoStabimp::warp_frame(cv::Mat transform, cv::Mat picture) {
    if (!videostab::warp_crop_rescale(transform, picture, HORIZONTAL_BORDER_CROP, smoothedFrame))
        return picture;
    return smoothedFrame;
}
