// 3-component vectors and their text form.
#include <torvi/kx_vecmath.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/c_entry.h"
#include "support/vecmath_alloc.h"

namespace torvi::vecmath {

double *alloc_zeroed(std::size_t n) {
  auto *p = static_cast<double *>(std::calloc(n, sizeof(double)));
  if (p == nullptr) KX_ERR("calloc of %zu doubles failed\n", n);
  return p;
}

}  // namespace torvi::vecmath

namespace {

using torvi::vecmath::alloc_zeroed;

vec3 put3(vec3 out, double x, double y, double z) {
  out[0] = x;
  out[1] = y;
  out[2] = z;
  return out;
}

}  // namespace

extern "C" {

TORVI_API vec3 vec3_create(vec3 src) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    double *v = alloc_zeroed(3);
    if (v != nullptr && src != nullptr) std::memcpy(v, src, 3 * sizeof(double));
    return v;
  });
}

TORVI_API vec3 vec3_set(vec3 src, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr,
                              [&]() -> vec3 { return put3(dest, src[0], src[1], src[2]); });
}

TORVI_API vec3 vec3_add(vec3 a, vec3 b, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    return put3(dest != nullptr ? dest : a, a[0] + b[0], a[1] + b[1], a[2] + b[2]);
  });
}

TORVI_API vec3 vec3_subtract(vec3 a, vec3 b, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    return put3(dest != nullptr ? dest : a, a[0] - b[0], a[1] - b[1], a[2] - b[2]);
  });
}

TORVI_API vec3 vec3_multiply(vec3 a, vec3 b, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    return put3(dest != nullptr ? dest : a, a[0] * b[0], a[1] * b[1], a[2] * b[2]);
  });
}

TORVI_API vec3 vec3_negate(vec3 a, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    return put3(dest != nullptr ? dest : a, -a[0], -a[1], -a[2]);
  });
}

TORVI_API vec3 vec3_scale(vec3 a, double factor, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    return put3(dest != nullptr ? dest : a, a[0] * factor, a[1] * factor, a[2] * factor);
  });
}

TORVI_API vec3 vec3_normalize(vec3 a, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    vec3 out = dest != nullptr ? dest : a;
    const double x = a[0], y = a[1], z = a[2];
    const double len = std::sqrt(x * x + y * y + z * z);
    if (len == 0.0) return put3(out, 0.0, 0.0, 0.0);
    if (len == 1.0) return put3(out, x, y, z);
    const double inv = 1.0 / len;
    return put3(out, x * inv, y * inv, z * inv);
  });
}

TORVI_API vec3 vec3_cross(vec3 a, vec3 b, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    const double ax = a[0], ay = a[1], az = a[2], bx = b[0], by = b[1], bz = b[2];
    return put3(dest != nullptr ? dest : a, ay * bz - az * by, az * bx - ax * bz,
                ax * by - ay * bx);
  });
}

TORVI_API double vec3_length(vec3 a) {
  return torvi::c_entry<double>(__func__, std::nan(""), [&]() -> double {
    return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  });
}

TORVI_API double vec3_dot(vec3 a, vec3 b) {
  return torvi::c_entry<double>(
      __func__, std::nan(""), [&]() -> double { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; });
}

TORVI_API vec3 vec3_direction(vec3 a, vec3 b, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    vec3 out = dest != nullptr ? dest : a;
    const double x = a[0] - b[0], y = a[1] - b[1], z = a[2] - b[2];
    const double len = std::sqrt(x * x + y * y + z * z);
    if (len == 0.0) return put3(out, 0.0, 0.0, 0.0);
    const double inv = 1.0 / len;
    return put3(out, x * inv, y * inv, z * inv);
  });
}

TORVI_API vec3 vec3_lerp(vec3 a, vec3 b, double t, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    return put3(dest != nullptr ? dest : a, a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]),
                a[2] + t * (b[2] - a[2]));
  });
}

TORVI_API double vec3_dist(vec3 a, vec3 b) {
  return torvi::c_entry<double>(__func__, std::nan(""), [&]() -> double {
    const double x = b[0] - a[0], y = b[1] - a[1], z = b[2] - a[2];
    return std::sqrt(x * x + y * y + z * z);
  });
}

TORVI_API vec3 vec3_unproject(vec3 p, mat4 view, mat4 proj, vec4 viewport, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    double v[4] = {(p[0] - viewport[0]) * 2.0 / viewport[2] - 1.0,
                   (p[1] - viewport[1]) * 2.0 / viewport[3] - 1.0, 2.0 * p[2] - 1.0, 1.0};
    double m[16];
    mat4_multiply(proj, view, m);
    if (mat4_inverse(m, nullptr) == nullptr) return nullptr;
    mat4_multiplyVec4(m, v, nullptr);
    if (v[3] == 0.0) return nullptr;
    return put3(dest != nullptr ? dest : p, v[0] / v[3], v[1] / v[3], v[2] / v[3]);
  });
}

TORVI_API int vec3_str(vec3 a, char *buf) {
  return torvi::c_entry<int>(
      __func__, -1, [&]() -> int { return std::sprintf(buf, "[%f, %f, %f]", a[0], a[1], a[2]); });
}

}  // extern "C"
