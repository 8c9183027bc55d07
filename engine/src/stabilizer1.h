// First stabiliser algorithm: motion measured from the previous picture into the current one,
// translation and rotation smoothed, measured scale kept, 30-column crop border.
#pragma once

#include "stabilizer.h"

class VideoStab1 : public VideoStab {
  public:
    // A new stabiliser in its initial state; the caller deletes it through VideoStab.
    static VideoStab1 *Create();

    cv::Mat stabilize(cv::Mat previous, cv::Mat current) override;
    cv::Mat warp_frame(cv::Mat transform, cv::Mat picture) override;

  protected:
    // Only the implementation below is ever constructed, which lets the operations forward to it.
    VideoStab1() {}
};

// State and work of the first algorithm. The state is public so that the engine's white-box tests
// can follow the trajectory; the display only sees VideoStab.
class VideoStabimp : public VideoStab1 {
  public:
    VideoStabimp();

    // Returns a header on smoothedMat, which the next call overwrites.
    cv::Mat stabilize(cv::Mat previous, cv::Mat current) override;
    // Returns a header on smoothedFrame, which the next call overwrites.
    cv::Mat warp_frame(cv::Mat transform, cv::Mat picture) override;
    // One scalar Kalman step per component of the accumulated trajectory.
    void Kalman_Filter();

    int k = 1;
    const int HORIZONTAL_BORDER_CROP = 30;

    double thetha = 0, transX = 0, transY = 0;
    double errthetha = 1.0, errtransX = 1.0, errtransY = 1.0;
    double Q_thetha = 0.004, Q_transX = 0.004, Q_transY = 0.004;
    double R_thetha = 0.5, R_transX = 0.5, R_transY = 0.5;
    double sum_thetha = 0, sum_transX = 0, sum_transY = 0;

    cv::Mat affine;
    cv::Mat smoothedMat;
    cv::Mat smoothedFrame;

    double dx = 0, dy = 0, da = 0;
    double sx = 0, sy = 0;
    double diff_thetha = 0, diff_transX = 0, diff_transY = 0;

  private:
    void correct_step();
    void fill_smoothed_mat();
};
