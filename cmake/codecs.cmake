# The libraries behind the extended TIFF codings: libdeflate for Deflate, libjpeg (libjpeg-turbo)
# for JPEG. A build without one refuses its codings (531), as a classic read does. On Linux they
# are Debian's packages (libdeflate-dev, libjpeg62-turbo-dev); QORIMG_<NAME>_ROOT names a folder
# with include/ and lib/ to take instead, as a cross build does (its folder holds only the static
# library, so that the DLLs need no further DLL).
set(QORIMG_CODEC_LINK_FLAGS)

# A cross build to Windows fetches and builds them at configure time (cmake/cross-codecs.sh),
# unless told where they are.
if(WIN32 AND CMAKE_CROSSCOMPILING AND QORIMG_MINGW_PREFIX AND NOT QORIMG_LIBDEFLATE_ROOT)
  option(QORIMG_FETCH_CODECS "Build libdeflate and libjpeg-turbo from Debian's sources" ON)
  if(QORIMG_FETCH_CODECS)
    execute_process(
      COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/cross-codecs.sh ${PROJECT_BINARY_DIR}
              ${QORIMG_MINGW_PREFIX}
      RESULT_VARIABLE fetched)
    if(fetched EQUAL 0)
      set(QORIMG_LIBDEFLATE_ROOT ${PROJECT_BINARY_DIR}/codecs/libdeflate)
      set(QORIMG_LIBJPEG_ROOT ${PROJECT_BINARY_DIR}/codecs/libjpeg)
    endif()
  endif()
endif()

function(qorimg_codec_library name header library)
  if(QORIMG_${name}_ROOT)
    set(where PATHS ${QORIMG_${name}_ROOT} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    find_path(QORIMG_${name}_INCLUDE_DIR ${header} ${where} PATH_SUFFIXES include)
    find_library(QORIMG_${name}_LIBRARY NAMES ${library} ${where} PATH_SUFFIXES lib)
  else()
    find_path(QORIMG_${name}_INCLUDE_DIR ${header})
    find_library(QORIMG_${name}_LIBRARY NAMES ${library})
  endif()
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
