// Six-vectors as the tests write them: all six components, or one axis.
#pragma once

#include <Eigen/Dense>

inline Eigen::Matrix<double, 6, 1> Six(double x, double y, double z, double rx, double ry,
                                       double rz) {
  Eigen::Matrix<double, 6, 1> v;
  v << x, y, z, rx, ry, rz;
  return v;
}

inline Eigen::Matrix<double, 6, 1> Axis(int i, double value = 1.0) {
  Eigen::Matrix<double, 6, 1> v = Eigen::Matrix<double, 6, 1>::Zero();
  v[i] = value;
  return v;
}
