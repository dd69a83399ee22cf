/* Vectors, quaternions and 3 x 3 / 4 x 4 matrices in double precision, in
 * the style of graphics matrix libraries: column vectors, column-major storage
 * (row i, column j at index 4j + i, or 3j + i for mat3; the translation of a
 * mat4 at 12, 13, 14), right-handed view looking down -z.
 *
 * Objects are plain arrays owned by the caller. The create calls, and the
 * calls documented "null allocates", return zeroed heap storage that the
 * caller releases with free(); they return NULL when memory runs out.
 *
 * Destination convention: most calls take an optional last argument `dest`.
 * With dest NULL the result replaces the first operand of the result's kind
 * (the matrix for matrix results, the vector for mat4_multiplyVec3/Vec4 and
 * quat_multiplyVec3). dest may alias any operand. The result pointer is
 * returned. No call keeps state; calls on distinct objects may run on any
 * threads in parallel.
 *
 * The *_str calls write "[a, b, ...]" (each value as %f) into the caller's
 * buf with no size check and return the length written. The caller sizes
 * buf for the text: with every |value| < 1e9 at most 20 characters per value
 * plus 3 for the brackets and terminator; %f of huge values (up to 1e308)
 * takes up to 320 characters each. */
#ifndef KX_VECMATH_H
#define KX_VECMATH_H

#include <torvi/torvi_export.h>

TORVI_BEGIN_DECLS

typedef double *vec3; /* x, y, z */
typedef double *vec4; /* 4 doubles (viewports, homogeneous points) */
typedef double *quat; /* x, y, z, w */
typedef double *mat3; /* 9 doubles, column-major */
typedef double *mat4; /* 16 doubles, column-major */

TORVI_API vec3 vec3_create(vec3 src);
TORVI_API vec3 vec3_set(vec3 src, vec3 dest);
TORVI_API vec3 vec3_add(vec3 a, vec3 b, vec3 dest);
TORVI_API vec3 vec3_subtract(vec3 a, vec3 b, vec3 dest);
TORVI_API vec3 vec3_multiply(vec3 a, vec3 b, vec3 dest);
TORVI_API vec3 vec3_negate(vec3 a, vec3 dest);
TORVI_API vec3 vec3_scale(vec3 a, double factor, vec3 dest);
/* Zero length gives (0, 0, 0); a length of exactly 1 copies unchanged. */
TORVI_API vec3 vec3_normalize(vec3 a, vec3 dest);
TORVI_API vec3 vec3_cross(vec3 a, vec3 b, vec3 dest);
TORVI_API double vec3_length(vec3 a);
TORVI_API double vec3_dot(vec3 a, vec3 b);
/* Unit vector of a - b; zero length gives (0, 0, 0). */
TORVI_API vec3 vec3_direction(vec3 a, vec3 b, vec3 dest);
TORVI_API vec3 vec3_lerp(vec3 a, vec3 b, double t, vec3 dest);
TORVI_API double vec3_dist(vec3 a, vec3 b);
/* Window point to object space; viewport is (x, y, width, height). NULL when
 * projection x view is singular or the point maps to w = 0 (dest untouched). */
TORVI_API vec3 vec3_unproject(vec3 p, mat4 view, mat4 proj, vec4 viewport, vec3 dest);
/* Writes "[x, y, z]" (%f) into buf and returns its length (see above for
 * the room buf needs). */
TORVI_API int vec3_str(vec3 a, char *buf);

TORVI_API mat3 mat3_create(mat3 src);
TORVI_API mat3 mat3_set(mat3 src, mat3 dest);
/* dest NULL allocates. */
TORVI_API mat3 mat3_identity(mat3 dest);
TORVI_API mat3 mat3_transpose(mat3 m, mat3 dest);
/* dest NULL allocates. */
TORVI_API mat4 mat3_toMat4(mat3 m, mat4 dest);
/* Returns dest (or m) also when m is singular; the content is then unchanged. */
TORVI_API mat3 mat3_inverse(mat3 m, mat3 dest);
TORVI_API mat3 mat3_multiply(mat3 a, mat3 b, mat3 dest);
TORVI_API int mat3_str(mat3 m, char *buf);

TORVI_API mat4 mat4_create(mat4 src);
TORVI_API mat4 mat4_set(mat4 src, mat4 dest);
/* dest NULL allocates. */
TORVI_API mat4 mat4_identity(mat4 dest);
TORVI_API mat4 mat4_transpose(mat4 m, mat4 dest);
TORVI_API double mat4_determinant(mat4 m);
/* NULL, with dest untouched, when the determinant is exactly 0. */
TORVI_API mat4 mat4_inverse(mat4 m, mat4 dest);
/* The following four: dest NULL allocates. */
TORVI_API mat4 mat4_toRotationMat(mat4 m, mat4 dest);
TORVI_API mat3 mat4_toMat3(mat4 m, mat3 dest);
/* NULL when the determinant of the upper-left 3 x 3 is 0. */
TORVI_API mat3 mat4_toInverseMat3(mat4 m, mat3 dest);
TORVI_API mat4 mat4_multiply(mat4 a, mat4 b, mat4 dest);
/* m x (v, 1), first three components; dest NULL writes into v. */
TORVI_API vec3 mat4_multiplyVec3(mat4 m, vec3 v, vec3 dest);
/* m x v; dest NULL writes into v. */
TORVI_API vec4 mat4_multiplyVec4(mat4 m, vec4 v, vec4 dest);
TORVI_API mat4 mat4_translate(mat4 m, vec3 v, mat4 dest);
TORVI_API mat4 mat4_scale(mat4 m, vec3 v, mat4 dest);
/* NULL for a zero axis; the axis is normalised unless its length is exactly 1. */
TORVI_API mat4 mat4_rotate(mat4 m, double angle, vec3 axis, mat4 dest);
TORVI_API mat4 mat4_rotateX(mat4 m, double angle, mat4 dest);
TORVI_API mat4 mat4_rotateY(mat4 m, double angle, mat4 dest);
TORVI_API mat4 mat4_rotateZ(mat4 m, double angle, mat4 dest);
/* The following five: dest NULL allocates. fovy in degrees. */
TORVI_API mat4 mat4_frustum(double left, double right, double bottom, double top, double near_z,
                            double far_z, mat4 dest);
TORVI_API mat4 mat4_perspective(double fovy, double aspect, double near_z, double far_z, mat4 dest);
TORVI_API mat4 mat4_ortho(double left, double right, double bottom, double top, double near_z,
                          double far_z, mat4 dest);
TORVI_API mat4 mat4_lookAt(vec3 eye, vec3 center, vec3 up, mat4 dest);
TORVI_API mat4 mat4_fromRotationTranslation(quat q, vec3 v, mat4 dest);
TORVI_API int mat4_str(mat4 m, char *buf);

TORVI_API quat quat_create(quat src);
TORVI_API quat quat_set(quat src, quat dest);
/* Copies x, y, z and sets w = -sqrt(|1 - x^2 - y^2 - z^2|). */
TORVI_API quat quat_calculateW(quat q, quat dest);
TORVI_API double quat_dot(quat q, quat r);
/* Conjugate divided by the squared length; a zero quaternion gives zeros. */
TORVI_API quat quat_inverse(quat q, quat dest);
TORVI_API quat quat_conjugate(quat q, quat dest);
TORVI_API double quat_length(quat q);
/* Zero length gives all zeros. */
TORVI_API quat quat_normalize(quat q, quat dest);
/* Hamilton product q r. */
TORVI_API quat quat_multiply(quat q, quat r, quat dest);
/* v rotated by q; dest NULL writes into v. */
TORVI_API vec3 quat_multiplyVec3(quat q, vec3 v, vec3 dest);
/* dest NULL allocates. */
TORVI_API mat3 quat_toMat3(quat q, mat3 dest);
TORVI_API mat4 quat_toMat4(quat q, mat4 dest);
/* Spherical interpolation without a sign flip toward the shorter arc. */
TORVI_API quat quat_slerp(quat q, quat r, double t, quat dest);
TORVI_API int quat_str(quat q, char *buf);

TORVI_END_DECLS

#endif /* KX_VECMATH_H */
