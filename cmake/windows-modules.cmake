# What every Windows module of the project is given: a module definition
# naming its exports, and a version resource. Included by the root
# CMakeLists.txt in the Windows builds.

# Writes a module definition: the module name and the exports, each given
# as NAME=ARGUMENT_BYTES. 32-bit stdcall names carry the bytes of their
# arguments (GetPicture@28), which the link strips (--kill-at, given to
# 32-bit modules by zqv_windows_module) so the exports keep their
# undecorated names; 64-bit names have no decoration.
function(zqv_module_definition output library)
  set(definition "LIBRARY \"${library}\"\nEXPORTS\n")
  foreach(export ${ARGN})
    string(REGEX REPLACE "=.*" "" name ${export})
    string(REGEX REPLACE ".*=" "" argumentBytes ${export})
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      string(APPEND definition "    ${name}\n")
    else()
      string(APPEND definition "    ${name}@${argumentBytes}\n")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${output} CONTENT "${definition}")
endfunction()

# The version every module carries, as Windows writes one.
set(ZQV_FILE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)

# Who the files say made them.
set(ZQV_PUBLISHER "The IFYZQV developers")
set(ZQV_COPYRIGHT "Copyright (C) 2026 The IFYZQV developers")

# Gives a target a VERSIONINFO resource from cmake/versioninfo.rc.in: the
# project's version, the description and the original file name given, and
# the kind of file (VFT_DLL or VFT_APP).
set(ZQV_VERSIONINFO_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/versioninfo.rc.in)
function(zqv_version_resource target fileName description fileType)
  set(ZQV_RC_DESCRIPTION ${description})
  set(ZQV_RC_FILE_NAME ${fileName})
  set(ZQV_RC_FILE_TYPE ${fileType})
  set(ZQV_RC_VERSION ${ZQV_FILE_VERSION})
  string(REPLACE "." "," ZQV_RC_VERSION_NUMBERS ${ZQV_RC_VERSION})
  set(resource ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${ZQV_VERSIONINFO_TEMPLATE} ${resource} @ONLY)
  target_sources(${target} PRIVATE ${resource})
endfunction()

# Gives a module its exports (as zqv_module_definition takes them) and a
# version resource.
#   zqv_windows_module(TARGET MODULE_NAME name FILE_NAME name DESCRIPTION text EXPORTS NAME=BYTES...)
function(zqv_windows_module target)
  cmake_parse_arguments(PARSE_ARGV 1 ZQV "" "MODULE_NAME;FILE_NAME;DESCRIPTION" "EXPORTS")
  set(definition ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  zqv_module_definition(${definition} ${ZQV_MODULE_NAME} ${ZQV_EXPORTS})
  target_sources(${target} PRIVATE ${definition})
  zqv_version_resource(${target} ${ZQV_FILE_NAME} ${ZQV_DESCRIPTION} VFT_DLL)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  endif()
endfunction()
