# cmake -D SOURCE_DIR=<tree> -P folder_graph.cmake
#
# The folders stand in layers; a file may include files of its own folder and
# of lower layers only, never of a higher layer or of another folder of its
# own layer:
#
#   decode  <  record  <  chart  <  link  <  app, tools  <  tests/support  <  tests, bench, fuzz
#
# A quoted include is looked up as the compiler does: next to the including
# file, then from the root, then from tests/ (where the support library's
# headers are found as "support/..."). Includes that name no file of the tree
# (Qt, the system) are not ours and are passed over. A folder that holds
# sources but has no layer fails too, so a new folder is placed on purpose.
cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE_DIR)
    message(FATAL_ERROR "folder_graph: -D SOURCE_DIR=... is required")
endif()

set(layer_decode 0)
set(layer_record 1)
set(layer_chart 2)
set(layer_link 3)
set(layer_app 4)
set(layer_tools 4)
set(layer_support 5)
set(layer_tests 6)
set(layer_bench 6)
set(layer_fuzz 6)

# The folder a path (relative to SOURCE_DIR) belongs to: its first component,
# except that tests/support is a folder of its own.
function(folder_of path out)
    if(path MATCHES "^tests/support/")
        set(${out} support PARENT_SCOPE)
    else()
        string(REGEX REPLACE "/.*" "" top "${path}")
        set(${out} ${top} PARENT_SCOPE)
    endif()
endfunction()

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} LIST_DIRECTORIES false
     ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cpp)
set(failures "")
set(checked 0)
foreach(source IN LISTS sources)
    # Build trees and other files outside the layered folders are not sources.
    if(NOT source MATCHES "/" OR source MATCHES "^build")
        continue()
    endif()
    folder_of(${source} from)
    if(NOT DEFINED layer_${from})
        list(APPEND failures "${source}: the folder '${from}' has no layer")
        continue()
    endif()
    get_filename_component(here ${source} DIRECTORY)
    file(STRINGS ${SOURCE_DIR}/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" name "${line}")
        set(target "")
        foreach(base ${here} . tests)
            if(EXISTS ${SOURCE_DIR}/${base}/${name})
                file(RELATIVE_PATH target ${SOURCE_DIR} ${SOURCE_DIR}/${base}/${name})
                break()
            endif()
        endforeach()
        if(target STREQUAL "")
            continue()
        endif()
        math(EXPR checked "${checked} + 1")
        folder_of(${target} to)
        if(to STREQUAL from)
            continue()
        endif()
        if(NOT DEFINED layer_${to})
            list(APPEND failures "${source}: includes ${target}, whose folder has no layer")
        elseif(NOT layer_${to} LESS layer_${from})
            list(APPEND failures
                 "${source} (${from}) includes ${target} (${to}): a lower folder may not "
                 "include a higher one, nor one of its own layer")
        endif()
    endforeach()
endforeach()

if(checked EQUAL 0)
    message(FATAL_ERROR "folder_graph: no include of the tree was found under ${SOURCE_DIR}")
endif()
if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "folder_graph: includes against the layers:\n  ${text}")
endif()
message(STATUS "folder_graph: ${checked} includes follow the layers")
