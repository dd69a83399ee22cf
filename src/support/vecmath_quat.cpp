// Quaternions (x, y, z, w) and their rotation matrices.
#include <torvi/kx_vecmath.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/c_entry.h"
#include "support/vecmath_alloc.h"

namespace {

using torvi::vecmath::alloc_zeroed;
using torvi::vecmath::dest_or_new;

quat put4(quat out, double x, double y, double z, double w) {
  out[0] = x;
  out[1] = y;
  out[2] = z;
  out[3] = w;
  return out;
}

// Products used by the rotation matrices of a quaternion.
struct RotTerms {
  double xx, xy, xz, yy, yz, zz, wx, wy, wz;
  explicit RotTerms(const double *q) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const double x2 = x + x, y2 = y + y, z2 = z + z;
    xx = x * x2;
    xy = x * y2;
    xz = x * z2;
    yy = y * y2;
    yz = y * z2;
    zz = z * z2;
    wx = w * x2;
    wy = w * y2;
    wz = w * z2;
  }
};

}  // namespace

extern "C" {

TORVI_API quat quat_create(quat src) {
  return torvi::c_entry<quat>(__func__, nullptr, [&]() -> quat {
    double *q = alloc_zeroed(4);
    if (q != nullptr && src != nullptr) std::memcpy(q, src, 4 * sizeof(double));
    return q;
  });
}

TORVI_API quat quat_set(quat src, quat dest) {
  return torvi::c_entry<quat>(__func__, nullptr,
                              [&]() -> quat { return put4(dest, src[0], src[1], src[2], src[3]); });
}

TORVI_API quat quat_calculateW(quat q, quat dest) {
  return torvi::c_entry<quat>(__func__, nullptr, [&]() -> quat {
    const double x = q[0], y = q[1], z = q[2];
    return put4(dest != nullptr ? dest : q, x, y, z,
                -std::sqrt(std::fabs(1.0 - x * x - y * y - z * z)));
  });
}

TORVI_API double quat_dot(quat q, quat r) {
  return torvi::c_entry<double>(__func__, std::nan(""), [&]() -> double {
    return q[0] * r[0] + q[1] * r[1] + q[2] * r[2] + q[3] * r[3];
  });
}

TORVI_API quat quat_inverse(quat q, quat dest) {
  return torvi::c_entry<quat>(__func__, nullptr, [&]() -> quat {
    quat out = dest != nullptr ? dest : q;
    const double d = quat_dot(q, q);
    if (d == 0.0) return put4(out, 0.0, 0.0, 0.0, 0.0);
    const double inv = 1.0 / d;
    return put4(out, -q[0] * inv, -q[1] * inv, -q[2] * inv, q[3] * inv);
  });
}

TORVI_API quat quat_conjugate(quat q, quat dest) {
  return torvi::c_entry<quat>(__func__, nullptr, [&]() -> quat {
    return put4(dest != nullptr ? dest : q, -q[0], -q[1], -q[2], q[3]);
  });
}

TORVI_API double quat_length(quat q) {
  return torvi::c_entry<double>(__func__, std::nan(""),
                                [&]() -> double { return std::sqrt(quat_dot(q, q)); });
}

TORVI_API quat quat_normalize(quat q, quat dest) {
  return torvi::c_entry<quat>(__func__, nullptr, [&]() -> quat {
    quat out = dest != nullptr ? dest : q;
    const double len = quat_length(q);
    if (len == 0.0) return put4(out, 0.0, 0.0, 0.0, 0.0);
    const double inv = 1.0 / len;
    return put4(out, q[0] * inv, q[1] * inv, q[2] * inv, q[3] * inv);
  });
}

TORVI_API quat quat_multiply(quat q, quat r, quat dest) {
  return torvi::c_entry<quat>(__func__, nullptr, [&]() -> quat {
    const double qx = q[0], qy = q[1], qz = q[2], qw = q[3], rx = r[0], ry = r[1], rz = r[2],
                 rw = r[3];
    return put4(dest != nullptr ? dest : q, qx * rw + qw * rx + qy * rz - qz * ry,
                qy * rw + qw * ry + qz * rx - qx * rz, qz * rw + qw * rz + qx * ry - qy * rx,
                qw * rw - qx * rx - qy * ry - qz * rz);
  });
}

TORVI_API vec3 quat_multiplyVec3(quat q, vec3 v, vec3 dest) {
  return torvi::c_entry<vec3>(__func__, nullptr, [&]() -> vec3 {
    const double x = v[0], y = v[1], z = v[2], qx = q[0], qy = q[1], qz = q[2], qw = q[3];
    // q * v
    const double ix = qw * x + qy * z - qz * y, iy = qw * y + qz * x - qx * z,
                 iz = qw * z + qx * y - qy * x, iw = -qx * x - qy * y - qz * z;
    // ... * conjugate(q)
    vec3 out = dest != nullptr ? dest : v;
    out[0] = ix * qw + iw * -qx + iy * -qz - iz * -qy;
    out[1] = iy * qw + iw * -qy + iz * -qx - ix * -qz;
    out[2] = iz * qw + iw * -qz + ix * -qy - iy * -qx;
    return out;
  });
}

TORVI_API mat3 quat_toMat3(quat q, mat3 dest) {
  return torvi::c_entry<mat3>(__func__, nullptr, [&]() -> mat3 {
    const RotTerms t(q);
    const double m[9] = {1 - (t.yy + t.zz), t.xy + t.wz,       t.xz - t.wy,
                         t.xy - t.wz,       1 - (t.xx + t.zz), t.yz + t.wx,
                         t.xz + t.wy,       t.yz - t.wx,       1 - (t.xx + t.yy)};
    dest = dest_or_new(dest, 9);
    if (dest != nullptr) std::memcpy(dest, m, sizeof m);
    return dest;
  });
}

TORVI_API mat4 quat_toMat4(quat q, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    const RotTerms t(q);
    const double m[16] = {1 - (t.yy + t.zz),
                          t.xy + t.wz,
                          t.xz - t.wy,
                          0,
                          t.xy - t.wz,
                          1 - (t.xx + t.zz),
                          t.yz + t.wx,
                          0,
                          t.xz + t.wy,
                          t.yz - t.wx,
                          1 - (t.xx + t.yy),
                          0,
                          0,
                          0,
                          0,
                          1};
    dest = dest_or_new(dest, 16);
    if (dest != nullptr) std::memcpy(dest, m, sizeof m);
    return dest;
  });
}

TORVI_API mat4 mat4_fromRotationTranslation(quat q, vec3 v, mat4 dest) {
  return torvi::c_entry<mat4>(__func__, nullptr, [&]() -> mat4 {
    double m[16];
    quat_toMat4(q, m);
    m[12] = v[0];
    m[13] = v[1];
    m[14] = v[2];
    dest = dest_or_new(dest, 16);
    if (dest != nullptr) std::memcpy(dest, m, sizeof m);
    return dest;
  });
}

TORVI_API quat quat_slerp(quat q, quat r, double t, quat dest) {
  return torvi::c_entry<quat>(__func__, nullptr, [&]() -> quat {
    quat out = dest != nullptr ? dest : q;
    const double cos_half = quat_dot(q, r);
    if (std::fabs(cos_half) >= 1.0) return put4(out, q[0], q[1], q[2], q[3]);
    const double half = std::acos(cos_half);
    const double sin_half = std::sqrt(1.0 - cos_half * cos_half);
    double a, b;
    if (std::fabs(sin_half) < 0.001) {
      a = 0.5;
      b = 0.5;
    } else {
      a = std::sin((1 - t) * half) / sin_half;
      b = std::sin(t * half) / sin_half;
    }
    return put4(out, q[0] * a + r[0] * b, q[1] * a + r[1] * b, q[2] * a + r[2] * b,
                q[3] * a + r[3] * b);
  });
}

TORVI_API int quat_str(quat q, char *buf) {
  return torvi::c_entry<int>(__func__, -1, [&]() -> int {
    return std::sprintf(buf, "[%f, %f, %f, %f]", q[0], q[1], q[2], q[3]);
  });
}

}  // extern "C"
