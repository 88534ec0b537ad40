# Embeds the default firmware image into an executable as resource "FRMV" of
# the named type "RC_DATA": a Windows resource in the cross builds, a
# registered byte array elsewhere.
function(vx_embed_default_image target)
  add_dependencies(${target} default_image)
  if(WIN32)
    set(rc ${CMAKE_BINARY_DIR}/firmware/default_image.rc)
    # RC_DATA in quotes would be a string; bare it is the type's name. It must
    # not be a macro here, so nothing is included.
    file(WRITE ${rc}.in "FRMV RC_DATA \"${VX_DEFAULT_IMAGE}\"\n")
    configure_file(${rc}.in ${rc} COPYONLY)
    target_sources(${target} PRIVATE ${rc})
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VX_DEFAULT_IMAGE})
  else()
    # One source per program: a rule may make a file for one directory only.
    set(cpp ${CMAKE_CURRENT_BINARY_DIR}/${target}_default_image_resource.cpp)
    add_custom_command(OUTPUT ${cpp}
      COMMAND ${CMAKE_COMMAND} -DINPUT=${VX_DEFAULT_IMAGE} -DOUTPUT=${cpp}
              -P ${PROJECT_SOURCE_DIR}/cmake/WriteResourceSource.cmake
      DEPENDS ${VX_DEFAULT_IMAGE} ${PROJECT_SOURCE_DIR}/cmake/WriteResourceSource.cmake
      COMMENT "Embedding the default firmware image")
    target_sources(${target} PRIVATE ${cpp})
  endif()
endfunction()
