// Second stabiliser algorithm: motion measured from the current picture back into the previous
// one, translation and rotation smoothed, no scale, 20-column crop border.
#pragma once

#include "stabilizer.h"

// A point of the camera trajectory, or per-component filter values: translation in pixels and
// rotation in radians.
struct Trajectory {
    Trajectory() {}
    Trajectory(double x_, double y_, double a_) : x(x_), y(y_), a(a_) {}

    Trajectory operator+(const Trajectory &o) const {
        return Trajectory(x + o.x, y + o.y, a + o.a);
    }
    Trajectory operator-(const Trajectory &o) const {
        return Trajectory(x - o.x, y - o.y, a - o.a);
    }
    Trajectory operator*(const Trajectory &o) const {
        return Trajectory(x * o.x, y * o.y, a * o.a);
    }
    Trajectory operator/(const Trajectory &o) const {
        return Trajectory(x / o.x, y / o.y, a / o.a);
    }

    double x = 0, y = 0, a = 0;
};

class VideoStab2 : public VideoStab {
  public:
    // A new stabiliser in its initial state; the caller deletes it through VideoStab.
    static VideoStab2 *Create();

    cv::Mat stabilize(cv::Mat previous, cv::Mat current) override;
    cv::Mat warp_frame(cv::Mat transform, cv::Mat picture) override;

  protected:
    // Only the implementation below is ever constructed, which lets the operations forward to it.
    VideoStab2() {}
};

// State and work of the second algorithm. The state is public so that the engine's white-box
// tests can follow the trajectory; the display only sees VideoStab.
class VideoStabimp2 : public VideoStab2 {
  public:
    // Returns a matrix of its own (the caller may keep it).
    cv::Mat stabilize(cv::Mat previous, cv::Mat current) override;
    // Returns a picture of its own.
    cv::Mat warp_frame(cv::Mat transform, cv::Mat picture) override;

    double x = 0, y = 0, a = 0;
    double sdx = 0, sdy = 0, sda = 0;
    Trajectory X, X_, P, P_, K;
    Trajectory Q = Trajectory(0.004, 0.004, 0.004);
    Trajectory R = Trajectory(0.25, 0.25, 0.25);
    int k = 1;
    cv::Mat last_T;

  private:
    void filter(const Trajectory &z);
};
