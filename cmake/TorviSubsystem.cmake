# Lines appended to the generated export header: C linkage brackets for the
# public headers, and the layout check written beside each exported record
# (static_assert in C++, _Static_assert in C11; in C99 a negative array size
# in a redeclared extern array stops the build the same way).
set(TORVI_EXPORT_EXTRA [=[
#ifdef __cplusplus
#define TORVI_BEGIN_DECLS extern "C" {
#define TORVI_END_DECLS }
#else
#define TORVI_BEGIN_DECLS
#define TORVI_END_DECLS
#endif
#if defined(__cplusplus)
#define TORVI_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TORVI_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define TORVI_STATIC_ASSERT(cond, msg) extern char torvi_static_assert_failed[(cond) ? 1 : -1]
#endif
]=])

# torvi_subsystem(<name> [DEPENDS <subsystem>...] [LIBS <external target>...])
# Makes the object library torvi_<name> (alias torvi::<name>) from every C and
# C++ source below the calling folder. src/ is a private include folder, so a
# subsystem's private headers are included as "<name>/file.h".
function(torvi_subsystem name)
  cmake_parse_arguments(S "" "" "DEPENDS;LIBS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  set(t torvi_${name})
  set(deps)
  foreach(d IN LISTS S_DEPENDS)
    list(APPEND deps torvi::${d})
  endforeach()
  if(NOT srcs)
    # A subsystem without sources yet: it still states its place in the graph.
    add_library(${t} INTERFACE)
    target_link_libraries(${t} INTERFACE torvi_headers ${deps} ${S_LIBS})
  else()
    add_library(${t} OBJECT ${srcs})
    target_include_directories(${t} PRIVATE ${TORVI_SRC_DIR})
    target_compile_definitions(${t} PRIVATE TORVI_BUILDING_LIBRARY=1)
    target_link_libraries(${t} PUBLIC torvi_headers ${deps} ${S_LIBS})
    torvi_warnings(${t})
    set_property(GLOBAL APPEND PROPERTY TORVI_SUBSYSTEM_TARGETS ${t})
  endif()
  add_library(torvi::${name} ALIAS ${t})
  set_property(GLOBAL APPEND PROPERTY TORVI_SUBSYSTEM_GRAPH "${name}:${S_DEPENDS}")
endfunction()
