# cmake -D BUILD_DIR=<build tree> -D PREFIX=<scratch dir>
#       -D COMPONENTS=<component,...> -D PACKAGES=<package,...>
#       [-D DESKTOP_FILE_VALIDATE=<program>] -P check_install.cmake
#
# Installs the build tree into PREFIX (emptied first) and checks the result the
# way the Debian packages will ship it; then installs each package's component
# on its own and checks that the packages share out the whole installation.
cmake_minimum_required(VERSION 3.25)

foreach(var BUILD_DIR PREFIX COMPONENTS PACKAGES)
    if(NOT ${var})
        message(FATAL_ERROR "check_install: -D ${var}=... is required")
    endif()
endforeach()

set(programs tarvometer dmmlog metersim)
set(desktop_entry share/applications/tarvometer.desktop)
set(icon_dir share/icons/hicolor/scalable/apps)
set(udev_rule lib/udev/rules.d/70-tarvometer-cable.rules)
# The About box names this file as the manual.
set(manual share/doc/tarvometer/README.md)

set(failures "")
macro(fail text)
    list(APPEND failures "${text}")
endmacro()

# Runs an installed program and fails unless it exits with 0 and prints
# something matching `expected`; a program that only works from the build
# tree (a stray rpath, a data file left behind) shows up here.
macro(expect_runs expected)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE run_rc OUTPUT_VARIABLE run_out
                    ERROR_VARIABLE run_out TIMEOUT 20)
    if(NOT run_rc EQUAL 0)
        fail("`${ARGN}` exited with ${run_rc}:\n${run_out}")
    elseif(NOT run_out MATCHES "${expected}")
        fail("`${ARGN}` printed no '${expected}':\n${run_out}")
    endif()
endmacro()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

# The programs: present, executable, and the two tools work from the prefix.
foreach(program IN LISTS programs)
    execute_process(COMMAND test -f "${PREFIX}/bin/${program}" -a -x "${PREFIX}/bin/${program}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        fail("bin/${program} is missing or not executable")
    endif()
endforeach()
if(EXISTS "${PREFIX}/bin/dmmlog" AND EXISTS "${PREFIX}/bin/metersim")
    expect_runs("Usage: dmmlog" "${PREFIX}/bin/dmmlog" --help)
    expect_runs("\n3\t[0-9]"
                "${PREFIX}/bin/metersim" --count 3 --flood --out -
                COMMAND "${PREFIX}/bin/dmmlog" --format tsv -)
endif()

# The desktop entry must start the installed window and name an installed icon.
if(NOT EXISTS "${PREFIX}/${desktop_entry}")
    fail("${desktop_entry} is missing")
else()
    file(STRINGS "${PREFIX}/${desktop_entry}" entry_lines)
    set(keys "")
    foreach(line IN LISTS entry_lines)
        if(line MATCHES "^([A-Za-z]+)=(.*)$")
            set(entry_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
            list(APPEND keys ${CMAKE_MATCH_1})
        endif()
    endforeach()
    foreach(key Type Name Exec Icon Terminal Categories)
        if(NOT key IN_LIST keys)
            fail("${desktop_entry} has no ${key}=")
        endif()
    endforeach()
    if(NOT entry_Type STREQUAL "Application" OR NOT entry_Name STREQUAL "TarvoMeter"
       OR NOT entry_Terminal STREQUAL "false")
        fail("${desktop_entry}: Type=${entry_Type} Name=${entry_Name} Terminal=${entry_Terminal}")
    endif()
    string(REGEX REPLACE " .*" "" exec_program "${entry_Exec}")
    if(NOT exec_program IN_LIST programs OR NOT EXISTS "${PREFIX}/bin/${exec_program}")
        fail("${desktop_entry}: Exec=${entry_Exec} does not start an installed program")
    endif()
    if(NOT EXISTS "${PREFIX}/${icon_dir}/${entry_Icon}.svg")
        fail("${desktop_entry}: Icon=${entry_Icon} but ${icon_dir}/${entry_Icon}.svg is missing")
    endif()
    if(DESKTOP_FILE_VALIDATE)
        execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${PREFIX}/${desktop_entry}"
                        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
        # Hints are advice (the entry sits in more than one main category on
        # purpose); errors and warnings are faults.
        if(NOT rc EQUAL 0 OR out MATCHES "(error|warning): ")
            fail("desktop-file-validate:\n${out}")
        endif()
    endif()
endif()

# The icon is an SVG document a theme can load.
file(GLOB icons "${PREFIX}/${icon_dir}/*")
foreach(icon IN LISTS icons)
    file(READ "${icon}" svg)
    if(NOT icon MATCHES "\\.svg$" OR NOT svg MATCHES "<svg[^>]* viewBox=\"0 0 [0-9]+ [0-9]+\""
       OR NOT svg MATCHES "</svg>[ \r\n]*$")
        fail("${icon} is not a complete SVG document with a viewBox")
    endif()
endforeach()

# udev applies rules in name order; the cable's uaccess tag only takes effect
# if the rule runs before 73-seat-late.rules turns tags into seat access.
if(NOT EXISTS "${PREFIX}/${udev_rule}")
    fail("${udev_rule} is missing")
else()
    file(READ "${PREFIX}/${udev_rule}" rule)
    get_filename_component(rule_name "${udev_rule}" NAME)
    if(NOT rule_name STRLESS "73-seat-late.rules")
        fail("${rule_name} sorts after 73-seat-late.rules")
    endif()
    if(NOT rule MATCHES "SUBSYSTEM==\"hidraw\"[^\n]*TAG\\+=\"uaccess\"")
        fail("${udev_rule} does not tag hidraw nodes with uaccess")
    endif()
endif()

# Everything installed is accounted for, so the package holds no build-tree
# leftovers (static libraries, headers, test programs).
set(expected "")
foreach(program IN LISTS programs)
    list(APPEND expected "bin/${program}" "share/man/man1/${program}.1.gz")
    # Each program's manual page is made from its own --help, and gzipped as
    # Debian installs manual pages.
    # (Sanitizer builds make none: they do not run their programs to build.)
    set(page "${PREFIX}/share/man/man1/${program}.1.gz")
    if(NOT MAN_PAGES)
    elseif(NOT EXISTS "${page}")
        fail("the manual page of ${program} is missing")
    else()
        execute_process(COMMAND gzip -dc "${page}" RESULT_VARIABLE rc
                        OUTPUT_VARIABLE page_text ERROR_VARIABLE page_error)
        if(NOT rc EQUAL 0)
            fail("the manual page of ${program} is not gzipped: ${page_error}")
        elseif(NOT page_text MATCHES "Show the version")
            fail("the manual page of ${program} does not describe --version")
        endif()
    endif()
endforeach()
list(APPEND expected "${desktop_entry}" "${icon_dir}/tarvometer.svg" "${udev_rule}" "${manual}"
     "lib/systemd/system/dmmlog@.service" "share/doc/tarvometer/examples/dmmlog.default")
if(NOT EXISTS "${PREFIX}/${manual}")
    fail("${manual} is missing")
endif()
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
foreach(path IN LISTS installed)
    if(NOT path IN_LIST expected)
        fail("unexpected installed file ${path}")
    endif()
endforeach()

# The packages: every installed file in exactly one of them (a file installed
# without a component would be in none), the window only in its own, and each
# with its Debian copyright file and changelog, which only they carry.
set(window_files bin/tarvometer "${desktop_entry}" "${icon_dir}/tarvometer.svg")
string(REPLACE "," ";" COMPONENTS "${COMPONENTS}")
string(REPLACE "," ";" PACKAGES "${PACKAGES}")
foreach(component package IN ZIP_LISTS COMPONENTS PACKAGES)
    set(component_prefix "${PREFIX}-${component}")
    file(REMOVE_RECURSE "${component_prefix}")
    execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${component_prefix}"
                            --component ${component}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        fail("cmake --install --component ${component} failed (${rc}):\n${out}")
        continue()
    endif()
    file(GLOB_RECURSE component_files RELATIVE "${component_prefix}" "${component_prefix}/*")
    foreach(debian_file copyright changelog.Debian.gz)
        set(path "share/doc/${package}/${debian_file}")
        if(NOT path IN_LIST component_files)
            fail("package ${package} has no ${path}")
        endif()
        list(REMOVE_ITEM component_files "${path}")
    endforeach()
    foreach(path IN LISTS component_files)
        if(path IN_LIST window_files AND NOT package STREQUAL "tarvometer")
            fail("${path} belongs to the window's package, not to ${package}")
        endif()
        string(MAKE_C_IDENTIFIER "${path}" key)
        if(DEFINED packaged_${key})
            fail("${path} is in both ${packaged_${key}} and ${package}")
        endif()
        set(packaged_${key} ${package})
    endforeach()
endforeach()
foreach(path IN LISTS installed)
    string(MAKE_C_IDENTIFIER "${path}" key)
    if(NOT DEFINED packaged_${key})
        fail("${path} is installed but in no package")
    endif()
endforeach()

if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "install check failed:\n  ${text}")
endif()
list(LENGTH installed count)
message(STATUS "install check: ${count} files in ${PREFIX}, shared out among ${PACKAGES}")
