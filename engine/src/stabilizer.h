// Video stabiliser interface used by the window display, and the motion measurement and border
// crop that both stabiliser algorithms share.
#pragma once

#include <exception>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

// One stabiliser per display task, used from that task's thread only. The caller owns the object
// and deletes it through this interface.
class VideoStab {
  public:
    // Corrective 2x3 CV_64F transform for `current` given the picture shown before it (both 8-bit
    // luma of one size), or an empty matrix when there is nothing to apply. Applied by warp_frame
    // to the colour version of `current`, it moves that picture onto the smoothed camera path.
    virtual cv::Mat stabilize(cv::Mat previous, cv::Mat current) = 0;
    // The colour picture moved by `transform`, with the border cropped away and scaled back to the
    // picture's size; the picture itself when it cannot be warped.
    virtual cv::Mat warp_frame(cv::Mat transform, cv::Mat picture) = 0;
    // Declared after the operations so that they keep the first two slots of the table.
    virtual ~VideoStab() {}
};

namespace videostab {

// Rows cropped from top and bottom for `border` columns on each side, keeping the aspect ratio.
inline int vertical_border(cv::Size size, int border) {
    return size.width > 0 ? border * size.height / size.width : 0;
}

// Whether something is left after cropping the border on every side.
inline bool can_crop(cv::Size size, int border) {
    return size.width > 2 * border && size.height > 2 * vertical_border(size, border);
}

// Whether a luma pair can be measured: a resolution change, a stray colour picture or a picture
// too small to crop would otherwise make the OpenCV calls fail.
inline bool luma_pair_usable(const cv::Mat &previous, const cv::Mat &current, int border) {
    return !previous.empty() && previous.type() == CV_8UC1 && current.type() == CV_8UC1 &&
           previous.size() == current.size() && can_crop(current.size(), border);
}

// Corners of `from` tracked into `to`; keeps the pairs whose track succeeded, in order. Both lists
// stay empty when there are no corners (a flat picture) or tracking fails.
inline void track_corners(const cv::Mat &from, const cv::Mat &to, std::vector<cv::Point2f> &src,
                          std::vector<cv::Point2f> &dst) {
    src.clear();
    dst.clear();
    try {
        std::vector<cv::Point2f> corners, tracked;
        cv::goodFeaturesToTrack(from, corners, 200, 0.01, 30.0, cv::noArray(), 3, false, 0.04);
        if (corners.empty())
            return;
        std::vector<unsigned char> status;
        std::vector<float> err;
        cv::calcOpticalFlowPyrLK(
            from, to, corners, tracked, status, err, cv::Size(21, 21), 3,
            cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.01), 0, 1e-4);
        for (size_t i = 0; i < status.size() && i < tracked.size(); i++) {
            if (status[i]) {
                src.push_back(corners[i]);
                dst.push_back(tracked[i]);
            }
        }
    } catch (const std::exception &) {
        src.clear();
        dst.clear();
    }
}

// Rotation, uniform scale and translation mapping `src` onto `dst`, robust to stray tracks;
// empty when it cannot be estimated.
inline cv::Mat estimate_rigid(const std::vector<cv::Point2f> &src,
                              const std::vector<cv::Point2f> &dst) {
    try {
        return cv::estimateAffinePartial2D(src, dst, cv::noArray(), cv::RANSAC);
    } catch (const std::exception &) {
        return cv::Mat();
    }
}

// Warps `picture` by `transform`, crops `border` columns and the matching rows from each side and
// scales the rest back into `out`. Returns false, leaving `out` alone, when that is not possible.
inline bool warp_crop_rescale(const cv::Mat &transform, const cv::Mat &picture, int border,
                              cv::Mat &out) {
    if (picture.empty() || transform.rows != 2 || transform.cols != 3 ||
        !can_crop(picture.size(), border))
        return false;
    try {
        // Warped into a separate image: resizing a region of an image into that same image
        // would read pixels it has already overwritten.
        cv::Mat warped;
        cv::warpAffine(picture, warped, transform, picture.size(), cv::INTER_LINEAR,
                       cv::BORDER_CONSTANT, cv::Scalar::all(0));
        int vert = vertical_border(picture.size(), border);
        cv::Rect keep(border, vert, picture.cols - 2 * border, picture.rows - 2 * vert);
        cv::resize(warped(keep), out, picture.size(), 0, 0, cv::INTER_LINEAR);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace videostab
