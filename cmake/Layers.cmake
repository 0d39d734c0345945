# The layers, from the top: shell → ui → services → engine → platform. Every header is included by
# its path from the repository root ("engine/TAKEngine.h"), but a target can only see the folders of
# the layers it links: each layer's library exports an include root of its own that holds nothing
# but a link to that layer's folder. An include that climbs a layer therefore fails to compile.
function(tobble_export_folder target folder)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${folder})
  get_filename_component(link_parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${link_parent})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
