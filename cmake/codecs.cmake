# The libraries behind the extended TIFF codings: libdeflate for Deflate. A build without one
# refuses its codings (531), as a classic read does. On Linux they are Debian's packages
# (libdeflate-dev); QORIMG_LIBDEFLATE_ROOT names a folder with include/ and lib/ to take
# instead, as a cross build does.
find_path(QORIMG_LIBDEFLATE_INCLUDE_DIR libdeflate.h HINTS ${QORIMG_LIBDEFLATE_ROOT}/include)
# A cross build's folder holds only the static library, so that the DLLs need no further DLL.
find_library(QORIMG_LIBDEFLATE_LIBRARY NAMES deflate HINTS ${QORIMG_LIBDEFLATE_ROOT}/lib)
set(QORIMG_CODEC_LINK_FLAGS)
if(QORIMG_LIBDEFLATE_INCLUDE_DIR AND QORIMG_LIBDEFLATE_LIBRARY)
  target_include_directories(qorimg_objects SYSTEM PRIVATE ${QORIMG_LIBDEFLATE_INCLUDE_DIR})
  target_compile_definitions(qorimg_objects PUBLIC QORIMG_HAVE_LIBDEFLATE=1)
  target_link_libraries(qorimg_objects PUBLIC ${QORIMG_LIBDEFLATE_LIBRARY})
  target_link_libraries(qorimg PRIVATE ${QORIMG_LIBDEFLATE_LIBRARY})
  list(APPEND QORIMG_CODEC_LINK_FLAGS -ldeflate)
  message(STATUS "Deflate TIFF pages: ${QORIMG_LIBDEFLATE_LIBRARY}")
else()
  message(WARNING "libdeflate not found: Deflate TIFF pages are refused (install libdeflate-dev)")
endif()
