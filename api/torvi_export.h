/* Export and linkage macros shared by every public header. */
#ifndef TORVI_EXPORT_H
#define TORVI_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define TORVI_API __attribute__((visibility("default")))
#else
#define TORVI_API
#endif

#ifdef __cplusplus
#define TORVI_BEGIN_DECLS extern "C" {
#define TORVI_END_DECLS }
#else
#define TORVI_BEGIN_DECLS
#define TORVI_END_DECLS
#endif

#endif /* TORVI_EXPORT_H */
