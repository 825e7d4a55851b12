# The Windows DLLs: qorimg.dll (the entry points and the block calls) and qorhost.dll (the host
# imaging library and the documents), each with an export table from its .def file.
if(NOT BUILD_SHARED_LIBS)
  message(FATAL_ERROR "the Windows build makes DLLs: BUILD_SHARED_LIBS must be ON")
endif()

# The standard calling convention decorates names on 32-bit Windows only (Name@bytes); the
# .def file lists the decorated names and --kill-at exports them undecorated.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  foreach(bytes 4 12 20)
    set(QORHOST_ARGS_${bytes} "@${bytes}")
  endforeach()
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/qorhost.def.in ${PROJECT_BINARY_DIR}/qorhost.def @ONLY)

# qorhost.dll reaches the blocks through qorimg.dll's block calls, and qorimg.dll calls the host
# through qorhost.dll: the import library of qorimg.dll is made from its .def file first, so that
# neither link waits for the other.
set(QORIMG_DEF ${PROJECT_SOURCE_DIR}/cmake/qorimg.def)
set(QORIMG_BOOT_IMPLIB ${PROJECT_BINARY_DIR}/qorimg-for-qorhost.a)
add_custom_command(OUTPUT ${QORIMG_BOOT_IMPLIB}
  COMMAND ${CMAKE_DLLTOOL} -d ${QORIMG_DEF} -D qorimg.dll -l ${QORIMG_BOOT_IMPLIB}
  DEPENDS ${QORIMG_DEF} VERBATIM)
add_custom_target(qorimg_boot_implib DEPENDS ${QORIMG_BOOT_IMPLIB})

qorimg_object_library(qorhost_objects ${QORIMG_HOST_SOURCES})
add_library(qorhost SHARED $<TARGET_OBJECTS:qorhost_objects>
  ${PROJECT_SOURCE_DIR}/src/platform/blocks_from_qorimg_win32.cpp ${PROJECT_BINARY_DIR}/qorhost.def)
target_link_libraries(qorhost PRIVATE qorhost_objects ${QORIMG_BOOT_IMPLIB})
add_dependencies(qorhost qorimg_boot_implib)
target_compile_options(qorhost PRIVATE ${QORIMG_WARNINGS})
target_link_options(qorhost PRIVATE -Wl,--kill-at -Wl,--exclude-all-symbols)
set_target_properties(qorhost PROPERTIES PREFIX "")

# The import library of qorhost.dll comes from dlltool too: it keeps the decorated names that the
# callers refer to (Name@bytes on 32-bit Windows) while importing the undecorated ones.
set(QORHOST_IMPLIB ${PROJECT_BINARY_DIR}/qorhost-imports.a)
add_custom_command(OUTPUT ${QORHOST_IMPLIB}
  COMMAND ${CMAKE_DLLTOOL} -k -d ${PROJECT_BINARY_DIR}/qorhost.def -D qorhost.dll -l ${QORHOST_IMPLIB}
  DEPENDS ${PROJECT_BINARY_DIR}/qorhost.def VERBATIM)
add_custom_target(qorhost_implib DEPENDS ${QORHOST_IMPLIB})

target_sources(qorimg PRIVATE ${QORIMG_DEF})
target_link_libraries(qorimg PRIVATE ${QORHOST_IMPLIB})
add_dependencies(qorimg qorhost qorhost_implib)
target_link_options(qorimg PRIVATE -Wl,--exclude-all-symbols)
set_target_properties(qorimg PROPERTIES PREFIX "" LINK_DEPENDS ${QORIMG_DEF})
install(TARGETS qorhost EXPORT qorimgTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${QORIMG_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR})
