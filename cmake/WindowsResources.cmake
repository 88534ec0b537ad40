# Icon, version resource and application manifest of a Windows program. The
# icon is drawn at build time with ImageMagick from app/resources/icon.mvg;
# the version is the project's.
if(WIN32)
  find_program(VX_IMAGEMAGICK_CONVERT NAMES convert-im6.q16 convert)
  if(NOT VX_IMAGEMAGICK_CONVERT)
    message(FATAL_ERROR "ImageMagick's convert draws the programs' icon: install it (apt-get install imagemagick)")
  endif()
  set(VX_ICON_SOURCE ${PROJECT_SOURCE_DIR}/app/resources/icon.mvg)
  set(VX_ICON ${CMAKE_BINARY_DIR}/resources/vxfwloader.ico)
  set(VX_ICON_SIZES 256,48,32,24,16)
  add_custom_command(OUTPUT ${VX_ICON}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources
    COMMAND ${VX_IMAGEMAGICK_CONVERT} -background none mvg:${VX_ICON_SOURCE} -depth 8
            -define icon:auto-resize=${VX_ICON_SIZES} ${VX_ICON}
    DEPENDS ${VX_ICON_SOURCE}
    COMMENT "Drawing the programs' icon")
  add_custom_target(vx_icon DEPENDS ${VX_ICON})
endif()

# vx_windows_resources(target FILE name.exe DESCRIPTION text [NO_ICON]):
# the version resource and the manifest, and the icon unless NO_ICON (test
# programs take the manifest only, so that they run as the programs do).
function(vx_windows_resources target)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_ICON" "FILE;DESCRIPTION" "")
  string(REGEX REPLACE "\\.exe$" "" VX_RES_NAME ${arg_FILE})
  set(VX_RES_FILE ${arg_FILE})
  set(VX_RES_DESCRIPTION ${arg_DESCRIPTION})
  set(VX_RES_COMPANY "Velmar")
  set(VX_RES_PRODUCT "Velmar Firmware Loader")
  set(VX_RES_COPYRIGHT "Copyright (C) 2014-2026 Velmar")
  set(VX_RES_VERSION4 "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(VX_RES_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(dir ${CMAKE_BINARY_DIR}/resources)
  set(VX_RES_MANIFEST ${dir}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/app/resources/app.manifest.in ${VX_RES_MANIFEST} @ONLY)
  if(arg_NO_ICON)
    set(VX_RES_ICON_LINE "")
  else()
    # The first icon group: the one Explorer shows and the window class loads.
    set(VX_RES_ICON_LINE "1 ICON \"${VX_ICON}\"")
    add_dependencies(${target} vx_icon)
  endif()
  set(rc ${dir}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/app/resources/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set(depends ${VX_RES_MANIFEST})
  if(NOT arg_NO_ICON)
    list(APPEND depends ${VX_ICON})
  endif()
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${depends}")
endfunction()
