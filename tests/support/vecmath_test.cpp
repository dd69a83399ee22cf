// Vector, matrix and quaternion maths: results, the destination convention
// (aliasing included), singular inputs and the text forms.
#include <gtest/gtest.h>
#include <torvi/kx_vecmath.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace {

constexpr double kEps = 1e-12;

void expect_near_n(const double *a, const double *b, int n, double eps = kEps) {
  for (int i = 0; i < n; ++i) EXPECT_NEAR(a[i], b[i], eps) << "index " << i;
}

// A well-conditioned matrix with a translation, column-major.
const double kM4[16] = {2, 0.5, -1, 0, 0.25, 3, 0.5, 0, 1, -0.5, 1.5, 0, 4, -2, 7, 1};

TEST(VecMath, Vec3ArithmeticAndAliasing) {
  double a[3] = {1, 2, 3}, b[3] = {-4, 5, 0.5}, out[3];
  vec3_cross(a, b, out);
  const double cross[3] = {2 * 0.5 - 3 * 5, 3 * -4 - 1 * 0.5, 1 * 5 - 2 * -4};
  expect_near_n(out, cross, 3);
  // dest == second operand and null dest (in place) give the same result.
  double b2[3] = {-4, 5, 0.5};
  EXPECT_EQ(vec3_cross(a, b2, b2), b2);
  expect_near_n(b2, cross, 3);
  double a2[3] = {1, 2, 3};
  EXPECT_EQ(vec3_cross(a2, b, nullptr), a2);
  expect_near_n(a2, cross, 3);

  EXPECT_DOUBLE_EQ(vec3_dot(a, b), -4 + 10 + 1.5);
  EXPECT_DOUBLE_EQ(vec3_length(a), std::sqrt(14.0));
  EXPECT_DOUBLE_EQ(vec3_dist(a, b), std::sqrt(25 + 9 + 6.25));
  double l[3] = {1, 2, 3};
  vec3_lerp(l, b, 0.25, nullptr);
  const double lerp[3] = {1 - 1.25, 2 + 0.75, 3 - 0.625};
  expect_near_n(l, lerp, 3);
  double s[3] = {1, 2, 3};
  vec3_subtract(s, b, s);
  const double diff[3] = {5, -3, 2.5};
  expect_near_n(s, diff, 3);
}

TEST(VecMath, NormalizeAndDirectionEdges) {
  double z[3] = {0, 0, 0}, out[3] = {9, 9, 9};
  vec3_normalize(z, out);
  const double zero[3] = {0, 0, 0};
  expect_near_n(out, zero, 3, 0);
  double unit[3] = {0, 0, 1};
  vec3_normalize(unit, out);
  const double k[3] = {0, 0, 1};
  expect_near_n(out, k, 3, 0);
  double v[3] = {3, 0, 4};
  vec3_normalize(v, nullptr);
  const double n[3] = {0.6, 0, 0.8};
  expect_near_n(v, n, 3);
  double a[3] = {1, 1, 1}, b[3] = {1, 1, 1};
  vec3_direction(a, b, out);
  expect_near_n(out, zero, 3, 0);
  double c[3] = {4, 1, 1};
  vec3_direction(c, b, out);
  const double x[3] = {1, 0, 0};
  expect_near_n(out, x, 3);
}

TEST(VecMath, Mat4InverseAndDeterminant) {
  double m[16], inv[16], prod[16], id[16];
  mat4_set(const_cast<double *>(kM4), m);
  ASSERT_NE(mat4_inverse(m, inv), nullptr);
  mat4_multiply(m, inv, prod);
  mat4_identity(id);
  expect_near_n(prod, id, 16, 1e-12);
  // In place (null dest) equals the separate result.
  double in_place[16];
  mat4_set(m, in_place);
  EXPECT_EQ(mat4_inverse(in_place, nullptr), in_place);
  expect_near_n(in_place, inv, 16, 0);
  // det(M) * det(M^-1) = 1; det of a scaled identity.
  EXPECT_NEAR(mat4_determinant(m) * mat4_determinant(inv), 1.0, 1e-12);
  double sc[16];
  mat4_identity(sc);
  double f[3] = {2, 3, 4};
  mat4_scale(sc, f, nullptr);
  EXPECT_DOUBLE_EQ(mat4_determinant(sc), 24.0);
  // Singular: null and the destination untouched.
  double sing[16] = {1, 2, 3, 4, 2, 4, 6, 8, 0, 1, 0, 1, 5, 5, 5, 5};
  double dest[16];
  for (double &d : dest) d = 42;
  EXPECT_EQ(mat4_inverse(sing, dest), nullptr);
  for (double d : dest) EXPECT_EQ(d, 42);
}

TEST(VecMath, Mat3InverseAndSingular) {
  // Row-major reading does not matter for the inverse: camera-style matrix.
  double a[9] = {200, 0, 160, 0, 210, 120, 0, 0, 1}, inv[9], prod[9], id[9];
  EXPECT_EQ(mat3_inverse(a, inv), inv);
  mat3_multiply(a, inv, prod);
  mat3_identity(id);
  expect_near_n(prod, id, 9, 1e-12);
  double self[9] = {200, 0, 160, 0, 210, 120, 0, 0, 1};
  EXPECT_EQ(mat3_inverse(self, nullptr), self);
  expect_near_n(self, inv, 9, 0);
  // Singular: returns the destination (or m) with its content unchanged.
  double sing[9] = {1, 2, 3, 2, 4, 6, 1, 1, 1};
  double dest[9];
  for (double &d : dest) d = 7;
  EXPECT_EQ(mat3_inverse(sing, dest), dest);
  for (double d : dest) EXPECT_EQ(d, 7);
  double keep[9] = {1, 2, 3, 2, 4, 6, 1, 1, 1};
  EXPECT_EQ(mat3_inverse(keep, nullptr), keep);
  expect_near_n(keep, sing, 9, 0);
  // mat3_multiply with dest aliasing b.
  double b[9] = {1, 2, 3, 4, 5, 6, 7, 8, 10}, want[9];
  mat3_multiply(a, b, want);
  mat3_multiply(a, b, b);
  expect_near_n(b, want, 9, 0);
  // Column-major product: (a x b)[row 0, col 1] = sum_k a[3k] * b[3 + k].
  double c[9] = {1, 2, 3, 4, 5, 6, 7, 8, 10};
  EXPECT_DOUBLE_EQ(want[3], a[0] * c[3] + a[3] * c[4] + a[6] * c[5]);
}

TEST(VecMath, MatrixConversions) {
  double m3[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  double *m4 = mat3_toMat4(m3, nullptr);
  ASSERT_NE(m4, nullptr);
  const double want4[16] = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 0, 0, 0, 1};
  expect_near_n(m4, want4, 16, 0);
  double back[9];
  mat4_toMat3(m4, back);
  expect_near_n(back, m3, 9, 0);
  std::free(m4);
  double t[16];
  mat4_set(const_cast<double *>(kM4), t);
  mat4_transpose(t, nullptr);
  EXPECT_EQ(t[1], kM4[4]);
  EXPECT_EQ(t[12], kM4[3]);
  double *rot = mat4_toRotationMat(const_cast<double *>(kM4), nullptr);
  ASSERT_NE(rot, nullptr);
  EXPECT_EQ(rot[12], 0);
  EXPECT_EQ(rot[14], 0);
  EXPECT_EQ(rot[15], 1);
  EXPECT_EQ(rot[5], kM4[5]);
  std::free(rot);
  double *created = mat4_create(nullptr);
  ASSERT_NE(created, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(created[i], 0);
  std::free(created);
  double sing[16] = {0};
  EXPECT_EQ(mat4_toInverseMat3(sing, nullptr), nullptr);
}

TEST(VecMath, TransformsAgree) {
  // Rotations about the axes equal the general rotation and the quaternion.
  const double angle = 0.7;
  double axis_z[3] = {0, 0, 1}, axis_y[3] = {0, 2, 0};
  double a[16], b[16];
  mat4_rotateZ(const_cast<double *>(kM4), angle, a);
  mat4_rotate(const_cast<double *>(kM4), angle, axis_z, b);
  expect_near_n(a, b, 16);
  mat4_rotateY(const_cast<double *>(kM4), angle, a);
  mat4_rotate(const_cast<double *>(kM4), angle, axis_y, b);  // axis normalised
  expect_near_n(a, b, 16);
  double axis_x[3] = {1, 0, 0};
  mat4_rotateX(const_cast<double *>(kM4), angle, a);
  mat4_rotate(const_cast<double *>(kM4), angle, axis_x, b);
  expect_near_n(a, b, 16);
  double zero[3] = {0, 0, 0};
  EXPECT_EQ(mat4_rotate(a, angle, zero, nullptr), nullptr);
  // Quaternion for angle about z rotates (1, 0, 0) to (cos, sin, 0).
  double q[4] = {0, 0, std::sin(angle / 2), std::cos(angle / 2)};
  double v[3] = {1, 0, 0}, out[3];
  quat_multiplyVec3(q, v, out);
  const double want[3] = {std::cos(angle), std::sin(angle), 0};
  expect_near_n(out, want, 3);
  double t[3] = {5, -1, 2}, rt[16], p[3];
  mat4_fromRotationTranslation(q, t, rt);
  mat4_multiplyVec3(rt, v, p);
  const double moved[3] = {5 + std::cos(angle), -1 + std::sin(angle), 2};
  expect_near_n(p, moved, 3);
  // Translate then the same as multiplying by a translation matrix.
  double tr[16], tm[16], prod[16];
  mat4_translate(const_cast<double *>(kM4), t, tr);
  mat4_identity(tm);
  tm[12] = 5;
  tm[13] = -1;
  tm[14] = 2;
  mat4_multiply(const_cast<double *>(kM4), tm, prod);
  expect_near_n(tr, prod, 16);
  double m3[9], q3[9];
  quat_toMat3(q, q3);
  mat4_toMat3(rt, m3);
  expect_near_n(q3, m3, 9);
}

TEST(VecMath, ProjectionsAndLookAt) {
  double p[16];
  mat4_perspective(90, 1, 1, 100, p);
  EXPECT_NEAR(p[0], 1, 1e-15);
  EXPECT_NEAR(p[5], 1, 1e-15);
  EXPECT_EQ(p[11], -1);
  EXPECT_EQ(p[15], 0);
  EXPECT_DOUBLE_EQ(p[10], -101.0 / 99.0);
  EXPECT_DOUBLE_EQ(p[14], -200.0 / 99.0);
  double o[16];
  mat4_ortho(-2, 2, -1, 3, 0.5, 10, o);
  EXPECT_DOUBLE_EQ(o[0], 0.5);
  EXPECT_DOUBLE_EQ(o[5], 0.5);
  EXPECT_DOUBLE_EQ(o[10], -2 / 9.5);
  EXPECT_DOUBLE_EQ(o[13], -0.5);
  EXPECT_DOUBLE_EQ(o[14], -10.5 / 9.5);
  EXPECT_EQ(o[15], 1);
  double eye[3] = {1, 2, 3}, up0[3] = {0, 0, 0}, look[16], id[16];
  mat4_lookAt(eye, eye, up0, look);
  mat4_identity(id);
  expect_near_n(look, id, 16, 0);
  // Looking from +z at the origin with y up is a pure translation by -5.
  double from[3] = {0, 0, 5}, centre[3] = {0, 0, 0}, up[3] = {0, 1, 0};
  mat4_lookAt(from, centre, up, look);
  id[14] = -5;
  expect_near_n(look, id, 16);
  // Unproject inverts the projection of a view-space point.
  double view[16], proj[16], vp[4] = {0, 0, 320, 240};
  mat4_lookAt(from, centre, up, view);
  mat4_perspective(60, 320.0 / 240.0, 0.1, 50, proj);
  double world[4] = {0.3, -0.2, 1.0, 1.0}, clip[4];
  double pv[16];
  mat4_multiply(proj, view, pv);
  mat4_multiplyVec4(pv, world, clip);
  double win[3] = {(clip[0] / clip[3] + 1) * 160, (clip[1] / clip[3] + 1) * 120,
                   (clip[2] / clip[3] + 1) / 2};
  double back[3];
  ASSERT_NE(vec3_unproject(win, view, proj, vp, back), nullptr);
  expect_near_n(back, world, 3, 1e-9);
  double sing[16] = {0};
  EXPECT_EQ(vec3_unproject(win, sing, proj, vp, back), nullptr);
}

TEST(VecMath, QuaternionEdges) {
  double u[4] = {0, 0.6, 0, 0.8}, out[4];
  quat_slerp(u, u, 0.3, out);
  expect_near_n(out, u, 4, 0);
  double q[4] = {0.1, 0.2, 0.3, 0.9};
  // Almost opposite: |sin| below 0.001 gives the plain average.
  const double e = 1e-7;
  double a[4] = {1, 0, 0, 0}, b[4] = {-std::sqrt(1 - e * e), e, 0, 0};
  quat_slerp(a, b, 0.9, out);
  const double avg[4] = {0.5 * (a[0] + b[0]), 0.5 * b[1], 0, 0};
  expect_near_n(out, avg, 4, 0);
  // Halfway between identity and 90 degrees about z is 45 degrees.
  double id[4] = {0, 0, 0, 1}, r90[4] = {0, 0, std::sin(M_PI / 4), std::cos(M_PI / 4)};
  quat_slerp(id, r90, 0.5, out);
  const double r45[4] = {0, 0, std::sin(M_PI / 8), std::cos(M_PI / 8)};
  expect_near_n(out, r45, 4);
  double qi[4], prod[4];
  quat_inverse(q, qi);
  quat_multiply(q, qi, prod);
  expect_near_n(prod, id, 4);
  double z[4] = {0, 0, 0, 0};
  quat_inverse(z, out);
  for (double v : out) EXPECT_EQ(v, 0);
  quat_normalize(z, out);
  for (double v : out) EXPECT_EQ(v, 0);
  double w[4] = {0.6, 0, 0, 123};
  quat_calculateW(w, nullptr);
  EXPECT_DOUBLE_EQ(w[3], -0.8);
  // Hamilton product with dest aliasing the second operand.
  double i[4] = {1, 0, 0, 0}, j[4] = {0, 1, 0, 0};
  quat_multiply(i, j, j);
  const double k[4] = {0, 0, 1, 0};
  expect_near_n(j, k, 4, 0);
}

TEST(VecMath, TextForms) {
  char buf[512];
  double v[3] = {1, -2.5, 1.0 / 3};
  EXPECT_EQ(vec3_str(v, buf), 31);
  EXPECT_STREQ(buf, "[1.000000, -2.500000, 0.333333]");
  double q[4] = {0, 0, 0, 1};
  quat_str(q, buf);
  EXPECT_STREQ(buf, "[0.000000, 0.000000, 0.000000, 1.000000]");
  double m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const int n = mat3_str(m, buf);
  EXPECT_STREQ(
      buf,
      "[1.000000, 2.000000, 3.000000, 4.000000, 5.000000, 6.000000, 7.000000, 8.000000, 9.000000]");
  EXPECT_EQ(n, static_cast<int>(std::string(buf).size()));
  double m4[16];
  mat4_identity(m4);
  m4[12] = -7.25;
  mat4_str(m4, buf);
  EXPECT_STREQ(
      buf,
      "[1.000000, 0.000000, 0.000000, 0.000000, 0.000000, 1.000000, 0.000000, 0.000000, 0.000000, "
      "0.000000, 1.000000, 0.000000, -7.250000, 0.000000, 0.000000, 1.000000]");
}

}  // namespace
