# The libraries behind the extended TIFF codings: libdeflate for Deflate, libjpeg (libjpeg-turbo)
# for JPEG. A build without one refuses its codings (531), as a classic read does. On Linux they
# are Debian's packages (libdeflate-dev, libjpeg62-turbo-dev); QORIMG_<NAME>_ROOT names a folder
# with include/ and lib/ to take instead, as a cross build does (its folder holds only the static
# library, so that the DLLs need no further DLL).
set(QORIMG_CODEC_LINK_FLAGS)
function(qorimg_codec_library name header library)
  find_path(QORIMG_${name}_INCLUDE_DIR ${header} HINTS ${QORIMG_${name}_ROOT}/include)
  find_library(QORIMG_${name}_LIBRARY NAMES ${library} HINTS ${QORIMG_${name}_ROOT}/lib)
  if(QORIMG_${name}_INCLUDE_DIR AND QORIMG_${name}_LIBRARY)
    target_include_directories(qorimg_objects SYSTEM PRIVATE ${QORIMG_${name}_INCLUDE_DIR})
    target_compile_definitions(qorimg_objects PUBLIC QORIMG_HAVE_${name}=1)
    target_link_libraries(qorimg_objects PUBLIC ${QORIMG_${name}_LIBRARY})
    target_link_libraries(qorimg PRIVATE ${QORIMG_${name}_LIBRARY})
    set(QORIMG_CODEC_LINK_FLAGS ${QORIMG_CODEC_LINK_FLAGS} -l${library} PARENT_SCOPE)
    message(STATUS "${name}: ${QORIMG_${name}_LIBRARY}")
  else()
    message(WARNING "${name} not found: its TIFF codings are refused")
  endif()
endfunction()
qorimg_codec_library(LIBDEFLATE libdeflate.h deflate)
qorimg_codec_library(LIBJPEG jpeglib.h jpeg)
