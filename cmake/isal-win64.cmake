# ISA-L's inflater for the win64 build: Debian's source package, fetched by
# scripts/fetch-source when the build is configured, and its igzip unit
# compiled with the mingw x86-64 cross compiler and nasm into a static
# library by ISA-L's own makefile. The link takes only what inflate needs.
# Sets ZQV_ISAL, the target to link.
set(ZQV_ISAL_PACKAGE libisal=2.30.0-5)
set(ZQV_ISAL_SOURCE ${PROJECT_BINARY_DIR}/isal-src)

execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/fetch-source ${ZQV_ISAL_PACKAGE} ${ZQV_ISAL_SOURCE}
  RESULT_VARIABLE fetched)
if(NOT fetched EQUAL 0)
  message(FATAL_ERROR "cannot fetch ISA-L's source package (${ZQV_ISAL_PACKAGE})")
endif()

# The headers, under the name Debian's libisal-dev installs them by.
file(GLOB ZQV_ISAL_HEADERS ${ZQV_ISAL_SOURCE}/include/*.h)
file(COPY ${ZQV_ISAL_HEADERS} DESTINATION ${PROJECT_BINARY_DIR}/isal-include/isa-l)

include(ExternalProject)
set(ZQV_ISAL_ARCHIVE ${ZQV_ISAL_SOURCE}/bin/isa-l.a)
ExternalProject_Add(isal_build
  SOURCE_DIR ${ZQV_ISAL_SOURCE}
  BUILD_IN_SOURCE ON
  CONFIGURE_COMMAND ""
  BUILD_COMMAND make -f Makefile.unx arch=mingw AS=nasm units=igzip CC=${CMAKE_C_COMPILER} AR=${CMAKE_AR} lib
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${ZQV_ISAL_ARCHIVE}
  LOG_BUILD ON LOG_OUTPUT_ON_FAILURE ON)

add_library(isal_static STATIC IMPORTED)
set_target_properties(isal_static PROPERTIES
  IMPORTED_LOCATION ${ZQV_ISAL_ARCHIVE}
  INTERFACE_INCLUDE_DIRECTORIES ${PROJECT_BINARY_DIR}/isal-include)
add_dependencies(isal_static isal_build)
set(ZQV_ISAL isal_static)

# Its licence asks that a binary carry its notice: beside the DLL.
configure_file(${ZQV_ISAL_SOURCE}/LICENSE ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/LICENSE-ISA-L.txt COPYONLY)
