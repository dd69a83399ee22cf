// 3 x 3 and 4 x 4 matrices, column-major: row i, column j at 3j + i / 4j + i.
// Results are computed into locals before the destination is written, so a
// destination may alias any operand.
#include <torvi/kx_vecmath.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/c_entry.h"
#include "support/vecmath_alloc.h"

namespace {

using torvi::vecmath::alloc_zeroed;
using torvi::vecmath::dest_or_new;

double *copy_to(double *dest, const double *src, std::size_t n) {
  std::memcpy(dest, src, n * sizeof(double));
  return dest;
}

// A new N x N matrix: a copy of src, or zeros.
double *create(const double *src, std::size_t n) {
  double *m = alloc_zeroed(n);
  if (m != nullptr && src != nullptr) copy_to(m, src, n);
  return m;
}

// The N x N identity into dest (a new matrix when dest is null).
template <std::size_t N>
double *identity(double *dest) {
  dest = dest_or_new(dest, N * N);
  if (dest == nullptr) return nullptr;
  for (std::size_t i = 0; i < N * N; ++i) dest[i] = i % (N + 1) == 0 ? 1.0 : 0.0;
  return dest;
}

int write_list(char *buf, const double *v, int n) {
  int len = std::sprintf(buf, "[");
  for (int i = 0; i < n; ++i) len += std::sprintf(buf + len, i == 0 ? "%f" : ", %f", v[i]);
  len += std::sprintf(buf + len, "]");
  return len;
}

// a x b for column-major n x n matrices.
template <int N>
void multiply(const double *a, const double *b, double *out) {
  for (int j = 0; j < N; ++j)
    for (int i = 0; i < N; ++i) {
      double s = 0.0;
      for (int k = 0; k < N; ++k) s += a[N * k + i] * b[N * j + k];
      out[N * j + i] = s;
    }
}

}  // namespace

extern "C" {

TORVI_API mat3 mat3_create(mat3 src) {
  return torvi::c_entry<mat3>(__func__, nullptr, [&]() -> mat3 { return create(src, 9); });
}

TORVI_API mat3 mat3_set(mat3 src, mat3 dest) {
  return torvi::c_entry<mat3>(__func__, nullptr, [&]() -> mat3 { return copy_to(dest, src, 9); });
}

TORVI_API mat3 mat3_identity(mat3 dest) {
  return torvi::c_entry<mat3>(__func__, nullptr, [&]() -> mat3 { return identity<3>(dest); });
}

TORVI_API mat3 mat3_transpose(mat3 m, mat3 dest) {
  return torvi::c_entry<mat3>(__func__, nullptr, [&]() -> mat3 {
    double t[9];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) t[3 * j + i] = m[3 * i + j];
    return copy_to(dest != nullptr ? dest : m, t, 9);
  });
}

TORVI_API mat4 mat3_toMat4(mat3 m, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    double t[16] = {m[0], m[1], m[2], 0, m[3], m[4], m[5], 0, m[6], m[7], m[8], 0, 0, 0, 0, 1};
    dest = dest_or_new(dest, 16);
    return dest != nullptr ? copy_to(dest, t, 16) : nullptr;
  });
}

TORVI_API mat3 mat3_inverse(mat3 m, mat3 dest) {
  return torvi::c_entry<mat3>(__func__, nullptr, [&]() -> mat3 {
    double m4[16];
    mat3_toMat4(m, m4);
    mat3 out = dest != nullptr ? dest : m;
    mat4_toInverseMat3(m4, out);
    return out;
  });
}

TORVI_API mat3 mat3_multiply(mat3 a, mat3 b, mat3 dest) {
  return torvi::c_entry<mat3>(__func__, nullptr, [&]() -> mat3 {
    double t[9];
    multiply<3>(a, b, t);
    return copy_to(dest != nullptr ? dest : a, t, 9);
  });
}

TORVI_API int mat3_str(mat3 m, char *buf) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int { return write_list(buf, m, 9); });
}

TORVI_API mat4 mat4_create(mat4 src) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 { return create(src, 16); });
}

TORVI_API mat4 mat4_set(mat4 src, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 { return copy_to(dest, src, 16); });
}

TORVI_API mat4 mat4_identity(mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 { return identity<4>(dest); });
}

TORVI_API mat4 mat4_transpose(mat4 m, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    double t[16];
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) t[4 * j + i] = m[4 * i + j];
    return copy_to(dest != nullptr ? dest : m, t, 16);
  });
}

TORVI_API double mat4_determinant(mat4 m) {
  return torvi::c_entry<double>(__func__, std::nan(""), [&]() -> double {
    const double a00 = m[0], a01 = m[1], a02 = m[2], a03 = m[3], a10 = m[4], a11 = m[5], a12 = m[6],
                 a13 = m[7], a20 = m[8], a21 = m[9], a22 = m[10], a23 = m[11], a30 = m[12],
                 a31 = m[13], a32 = m[14], a33 = m[15];
    const double b00 = a00 * a11 - a01 * a10, b01 = a00 * a12 - a02 * a10,
                 b02 = a00 * a13 - a03 * a10, b03 = a01 * a12 - a02 * a11,
                 b04 = a01 * a13 - a03 * a11, b05 = a02 * a13 - a03 * a12,
                 b06 = a20 * a31 - a21 * a30, b07 = a20 * a32 - a22 * a30,
                 b08 = a20 * a33 - a23 * a30, b09 = a21 * a32 - a22 * a31,
                 b10 = a21 * a33 - a23 * a31, b11 = a22 * a33 - a23 * a32;
    return b00 * b11 - b01 * b10 + b02 * b09 + b03 * b08 - b04 * b07 + b05 * b06;
  });
}

TORVI_API mat4 mat4_inverse(mat4 m, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    const double a00 = m[0], a01 = m[1], a02 = m[2], a03 = m[3], a10 = m[4], a11 = m[5], a12 = m[6],
                 a13 = m[7], a20 = m[8], a21 = m[9], a22 = m[10], a23 = m[11], a30 = m[12],
                 a31 = m[13], a32 = m[14], a33 = m[15];
    const double b00 = a00 * a11 - a01 * a10, b01 = a00 * a12 - a02 * a10,
                 b02 = a00 * a13 - a03 * a10, b03 = a01 * a12 - a02 * a11,
                 b04 = a01 * a13 - a03 * a11, b05 = a02 * a13 - a03 * a12,
                 b06 = a20 * a31 - a21 * a30, b07 = a20 * a32 - a22 * a30,
                 b08 = a20 * a33 - a23 * a30, b09 = a21 * a32 - a22 * a31,
                 b10 = a21 * a33 - a23 * a31, b11 = a22 * a33 - a23 * a32;
    const double det = b00 * b11 - b01 * b10 + b02 * b09 + b03 * b08 - b04 * b07 + b05 * b06;
    if (det == 0.0) return nullptr;
    const double id = 1.0 / det;
    const double t[16] = {
        (a11 * b11 - a12 * b10 + a13 * b09) * id,  (-a01 * b11 + a02 * b10 - a03 * b09) * id,
        (a31 * b05 - a32 * b04 + a33 * b03) * id,  (-a21 * b05 + a22 * b04 - a23 * b03) * id,
        (-a10 * b11 + a12 * b08 - a13 * b07) * id, (a00 * b11 - a02 * b08 + a03 * b07) * id,
        (-a30 * b05 + a32 * b02 - a33 * b01) * id, (a20 * b05 - a22 * b02 + a23 * b01) * id,
        (a10 * b10 - a11 * b08 + a13 * b06) * id,  (-a00 * b10 + a01 * b08 - a03 * b06) * id,
        (a30 * b04 - a31 * b02 + a33 * b00) * id,  (-a20 * b04 + a21 * b02 - a23 * b00) * id,
        (-a10 * b09 + a11 * b07 - a12 * b06) * id, (a00 * b09 - a01 * b07 + a02 * b06) * id,
        (-a30 * b03 + a31 * b01 - a32 * b00) * id, (a20 * b03 - a21 * b01 + a22 * b00) * id};
    return copy_to(dest != nullptr ? dest : m, t, 16);
  });
}

TORVI_API mat4 mat4_toRotationMat(mat4 m, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    double t[16];
    copy_to(t, m, 16);
    t[12] = t[13] = t[14] = 0.0;
    t[15] = 1.0;
    dest = dest_or_new(dest, 16);
    return dest != nullptr ? copy_to(dest, t, 16) : nullptr;
  });
}

TORVI_API mat3 mat4_toMat3(mat4 m, mat3 dest) {
  return torvi::c_entry<mat3>(__func__, nullptr, [&]() -> mat3 {
    const double t[9] = {m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10]};
    dest = dest_or_new(dest, 9);
    return dest != nullptr ? copy_to(dest, t, 9) : nullptr;
  });
}

TORVI_API mat3 mat4_toInverseMat3(mat4 m, mat3 dest) {
  return torvi::c_entry<mat3>(__func__, nullptr, [&]() -> mat3 {
    const double a00 = m[0], a01 = m[1], a02 = m[2], a10 = m[4], a11 = m[5], a12 = m[6], a20 = m[8],
                 a21 = m[9], a22 = m[10];
    const double b01 = a22 * a11 - a12 * a21, b11 = -a22 * a10 + a12 * a20,
                 b21 = a21 * a10 - a11 * a20;
    const double d = a00 * b01 + a01 * b11 + a02 * b21;
    if (d == 0.0) return nullptr;
    const double id = 1.0 / d;
    const double t[9] = {b01 * id, (-a22 * a01 + a02 * a21) * id, (a12 * a01 - a02 * a11) * id,
                         b11 * id, (a22 * a00 - a02 * a20) * id,  (-a12 * a00 + a02 * a10) * id,
                         b21 * id, (-a21 * a00 + a01 * a20) * id, (a11 * a00 - a01 * a10) * id};
    dest = dest_or_new(dest, 9);
    return dest != nullptr ? copy_to(dest, t, 9) : nullptr;
  });
}

TORVI_API mat4 mat4_multiply(mat4 a, mat4 b, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    double t[16];
    multiply<4>(a, b, t);
    return copy_to(dest != nullptr ? dest : a, t, 16);
  });
}

TORVI_API vec3 mat4_multiplyVec3(mat4 m, vec3 v, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    const double x = v[0], y = v[1], z = v[2];
    const double t[3] = {m[0] * x + m[4] * y + m[8] * z + m[12],
                         m[1] * x + m[5] * y + m[9] * z + m[13],
                         m[2] * x + m[6] * y + m[10] * z + m[14]};
    return copy_to(dest != nullptr ? dest : v, t, 3);
  });
}

TORVI_API vec4 mat4_multiplyVec4(mat4 m, vec4 v, vec4 dest) {
  return torvi::c_entry<vec4>(__func__, nullptr, [&]() -> vec4 {
    double t[4];
    for (int i = 0; i < 4; ++i)
      t[i] = m[i] * v[0] + m[4 + i] * v[1] + m[8 + i] * v[2] + m[12 + i] * v[3];
    return copy_to(dest != nullptr ? dest : v, t, 4);
  });
}

TORVI_API mat4 mat4_translate(mat4 m, vec3 v, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    double t[16];
    copy_to(t, m, 16);
    for (int i = 0; i < 4; ++i)
      t[12 + i] = m[i] * v[0] + m[4 + i] * v[1] + m[8 + i] * v[2] + m[12 + i];
    return copy_to(dest != nullptr ? dest : m, t, 16);
  });
}

TORVI_API mat4 mat4_scale(mat4 m, vec3 v, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    double t[16];
    for (int i = 0; i < 4; ++i) {
      t[i] = m[i] * v[0];
      t[4 + i] = m[4 + i] * v[1];
      t[8 + i] = m[8 + i] * v[2];
      t[12 + i] = m[12 + i];
    }
    return copy_to(dest != nullptr ? dest : m, t, 16);
  });
}

TORVI_API mat4 mat4_rotate(mat4 m, double angle, vec3 axis, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    double x = axis[0], y = axis[1], z = axis[2];
    double len = std::sqrt(x * x + y * y + z * z);
    if (len == 0.0) return nullptr;
    if (len != 1.0) {
      len = 1.0 / len;
      x *= len;
      y *= len;
      z *= len;
    }
    const double s = std::sin(angle), c = std::cos(angle), t = 1.0 - c;
    // Rotation matrix by columns: r[col][row].
    const double r[3][3] = {{x * x * t + c, y * x * t + z * s, z * x * t - y * s},
                            {x * y * t - z * s, y * y * t + c, z * y * t + x * s},
                            {x * z * t + y * s, y * z * t - x * s, z * z * t + c}};
    double out[16];
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 4; ++i)
        out[4 * j + i] = m[i] * r[j][0] + m[4 + i] * r[j][1] + m[8 + i] * r[j][2];
    for (int i = 12; i < 16; ++i) out[i] = m[i];
    return copy_to(dest != nullptr ? dest : m, out, 16);
  });
}

namespace {

// Columns ca and cb of m replaced by ca*c + cb*s and cb*c - ca*s.
mat4 rotate_pair(mat4 m, int ca, int cb, double angle, mat4 dest) {
  const double s = std::sin(angle), c = std::cos(angle);
  double t[16];
  copy_to(t, m, 16);
  for (int i = 0; i < 4; ++i) {
    const double a = m[4 * ca + i], b = m[4 * cb + i];
    t[4 * ca + i] = a * c + b * s;
    t[4 * cb + i] = b * c - a * s;
  }
  return copy_to(dest != nullptr ? dest : m, t, 16);
}

}  // namespace

TORVI_API mat4 mat4_rotateX(mat4 m, double angle, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr,
                              [&]() -> mat4 { return rotate_pair(m, 1, 2, angle, dest); });
}
TORVI_API mat4 mat4_rotateY(mat4 m, double angle, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr,
                              [&]() -> mat4 { return rotate_pair(m, 2, 0, angle, dest); });
}
TORVI_API mat4 mat4_rotateZ(mat4 m, double angle, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr,
                              [&]() -> mat4 { return rotate_pair(m, 0, 1, angle, dest); });
}

TORVI_API mat4 mat4_frustum(double left, double right, double bottom, double top, double near_z,
                            double far_z, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    dest = dest_or_new(dest, 16);
    if (dest == nullptr) return nullptr;
    const double rl = right - left, tb = top - bottom, fn = far_z - near_z;
    const double t[16] = {near_z * 2 / rl,
                          0,
                          0,
                          0,
                          0,
                          near_z * 2 / tb,
                          0,
                          0,
                          (right + left) / rl,
                          (top + bottom) / tb,
                          -(far_z + near_z) / fn,
                          -1,
                          0,
                          0,
                          -(far_z * near_z * 2) / fn,
                          0};
    return copy_to(dest, t, 16);
  });
}

TORVI_API mat4 mat4_perspective(double fovy, double aspect, double near_z, double far_z,
                                mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    const double top = near_z * std::tan(fovy * M_PI / 360.0), right = top * aspect;
    return mat4_frustum(-right, right, -top, top, near_z, far_z, dest);
  });
}

TORVI_API mat4 mat4_ortho(double left, double right, double bottom, double top, double near_z,
                          double far_z, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    dest = dest_or_new(dest, 16);
    if (dest == nullptr) return nullptr;
    const double rl = right - left, tb = top - bottom, fn = far_z - near_z;
    const double t[16] = {2 / rl,
                          0,
                          0,
                          0,
                          0,
                          2 / tb,
                          0,
                          0,
                          0,
                          0,
                          -2 / fn,
                          0,
                          -(left + right) / rl,
                          -(top + bottom) / tb,
                          -(far_z + near_z) / fn,
                          1};
    return copy_to(dest, t, 16);
  });
}

TORVI_API mat4 mat4_lookAt(vec3 eye, vec3 center, vec3 up, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    dest = dest_or_new(dest, 16);
    if (dest == nullptr) return nullptr;
    if (eye[0] == center[0] && eye[1] == center[1] && eye[2] == center[2])
      return mat4_identity(dest);
    double z[3] = {eye[0] - center[0], eye[1] - center[1], eye[2] - center[2]};
    vec3_normalize(z, nullptr);
    double x[3];
    vec3_cross(up, z, x);
    vec3_normalize(x, nullptr);
    double y[3];
    vec3_cross(z, x, y);
    vec3_normalize(y, nullptr);
    const double t[16] = {x[0],
                          y[0],
                          z[0],
                          0,
                          x[1],
                          y[1],
                          z[1],
                          0,
                          x[2],
                          y[2],
                          z[2],
                          0,
                          -vec3_dot(x, eye),
                          -vec3_dot(y, eye),
                          -vec3_dot(z, eye),
                          1};
    return copy_to(dest, t, 16);
  });
}

TORVI_API int mat4_str(mat4 m, char *buf) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int { return write_list(buf, m, 16); });
}

}  // extern "C"
