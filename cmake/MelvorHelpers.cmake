# melvor_export_list(<target> <list file>)
# Exports exactly the symbols named in <list file> (one per line, '#' comments)
# and hides everything else, on ELF and on Apple platforms alike.
function(melvor_export_list target list_file version_node)
  file(STRINGS ${list_file} lines)
  set(names "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    list(APPEND names ${line})
  endforeach()
  if(APPLE)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}.exported_symbols)
    list(TRANSFORM names PREPEND "_")
    list(JOIN names "\n" body)
    file(CONFIGURE OUTPUT ${out} CONTENT "${body}\n")
    target_link_options(${target} PRIVATE "LINKER:-exported_symbols_list,${out}")
  else()
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
    list(JOIN names ";\n    " body)
    file(CONFIGURE OUTPUT ${out}
      CONTENT "${version_node} {\n  global:\n    ${body};\n  local:\n    *;\n};\n")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${out}")
    # Sanitizer runtimes of clang are not linked into shared objects.
    if(NOT MELVOR_SANITIZE)
      target_link_options(${target} PRIVATE "LINKER:--no-undefined")
    endif()
  endif()
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${list_file})
endfunction()

# melvor_add_c_library(<name> SOURCES ... LIBS ... HEADER <public header>
#                      EXPORTS <list file> NODE <version node>
#                      [INCLUDES ...] [DEFINES ...])
# One of the project's libraries: its sources compiled once into <name>_obj,
# linked into the shared lib<name> (SONAME lib<name>.so.1; on Apple
# @rpath/lib<name>.1.dylib with compatibility version 1.0.0, arm64 unless
# CMAKE_OSX_ARCHITECTURES says otherwise) and into the static <name>_core
# that tests of internal operations and benchmarks link. Only the names in
# EXPORTS are visible.
function(melvor_add_c_library name)
  cmake_parse_arguments(L "" "HEADER;EXPORTS;NODE" "SOURCES;LIBS;INCLUDES;DEFINES" ${ARGN})
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  add_library(${name}_obj OBJECT ${L_SOURCES})
  target_include_directories(${name}_obj PUBLIC ${dir}/include ${dir} ${L_INCLUDES})
  target_link_libraries(${name}_obj PUBLIC ${L_LIBS})
  target_compile_definitions(${name}_obj PUBLIC ${L_DEFINES})

  add_library(${name}_core STATIC $<TARGET_OBJECTS:${name}_obj>)
  target_link_libraries(${name}_core PUBLIC ${name}_obj)

  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_obj>)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${dir}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PRIVATE ${L_LIBS})
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION 1
    PUBLIC_HEADER ${dir}/${L_HEADER}
    MACHO_COMPATIBILITY_VERSION 1.0.0
    MACHO_CURRENT_VERSION ${PROJECT_VERSION})
  if(APPLE)
    # Hosts find the library through their rpath, as Homebrew's FFmpeg is
    # found; the build tree's copy is named so too, since hosts may link it.
    set_target_properties(${name} PROPERTIES INSTALL_NAME_DIR "@rpath"
      BUILD_WITH_INSTALL_NAME_DIR ON)
    if(NOT CMAKE_OSX_ARCHITECTURES)
      set_target_properties(${name}_obj ${name} ${name}_core PROPERTIES OSX_ARCHITECTURES arm64)
    endif()
  endif()
  melvor_export_list(${name} ${dir}/${L_EXPORTS} ${L_NODE})
endfunction()
