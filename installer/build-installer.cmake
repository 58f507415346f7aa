# Builds the setup program from what `cmake --install` lays out, so that the
# installer always carries exactly the installed tree.
# cmake -DBUILD_DIR=... -DCONFIG=... -DMAKENSIS=... -DSCRIPT=<.nsi> -DVERSION=...
#       -DPUBLISHER=... -DOUTPUT=<setup.exe> [-DOMIT=<relative path>] -P build-installer.cmake
# OMIT leaves one installed file out of the payload (a test builds a broken installer with it).
foreach(required BUILD_DIR MAKENSIS SCRIPT VERSION PUBLISHER OUTPUT)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "build-installer.cmake needs -D${required}=...")
    endif()
endforeach()

get_filename_component(output_name "${OUTPUT}" NAME_WLE)
get_filename_component(output_dir "${OUTPUT}" DIRECTORY)
set(work "${output_dir}/${output_name}.work")
set(stage "${work}/stage")

# A fresh stage each time: a file dropped from the install rules must leave the payload too.
file(REMOVE_RECURSE "${stage}")
set(config_args)
if(CONFIG)
    set(config_args --config "${CONFIG}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${stage}" ${config_args}
                OUTPUT_QUIET RESULT_VARIABLE installed)
if(NOT installed EQUAL 0)
    message(FATAL_ERROR "cmake --install into ${stage} failed (${installed})")
endif()
if(OMIT)
    file(REMOVE "${stage}/${OMIT}")
endif()

# Files at the top of the layout would land loose in "C:\Program Files": they
# go beside the setup tool instead.
function(target_folder relative result)
    get_filename_component(folder "${relative}" DIRECTORY)
    if(folder STREQUAL "")
        set(folder ZorvaneService)
    endif()
    string(REPLACE "/" "\\" folder "${folder}")
    set(${result} "${folder}" PARENT_SCOPE)
endfunction()

# The administrator's files: installed where missing, never replaced.
function(is_administrators relative result)
    if(relative STREQUAL "ZorvaneIs/zorvaneis.cfg" OR relative MATCHES "^ZorvaneIs/site/")
        set(${result} TRUE PARENT_SCOPE)
    else()
        set(${result} FALSE PARENT_SCOPE)
    endif()
endfunction()

function(nsis_text text result)
    string(REPLACE "$" "$$" text "${text}")
    set(${result} "${text}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
list(SORT files)
set(install_lines "")
set(remove_lines "")
set(folders "")
set(fingerprint "${VERSION}|${PUBLISHER}|")
set(size_bytes 0)
set(current_folder "")
set(current_overwrite on)
foreach(relative IN LISTS files)
    target_folder("${relative}" folder)
    is_administrators("${relative}" administrators)
    get_filename_component(name "${relative}" NAME)
    nsis_text("${folder}" folder_text)
    nsis_text("${name}" name_text)
    nsis_text("${stage}/${relative}" source_text)
    set(overwrite on)
    if(administrators)
        set(overwrite off)
    endif()
    if(NOT overwrite STREQUAL current_overwrite)
        string(APPEND install_lines "  SetOverwrite ${overwrite}\n")
        set(current_overwrite ${overwrite})
    endif()
    if(NOT folder STREQUAL current_folder)
        string(APPEND install_lines "  SetOutPath \"$PROGRAMFILES64\\${folder_text}\"\n")
        set(current_folder "${folder}")
    endif()
    set(target_text "$PROGRAMFILES64\\${folder_text}\\${name_text}")
    string(APPEND install_lines "  File \"${source_text}\"\n  !insertmacro ZvCheckFile \"${target_text}\"\n")
    string(APPEND remove_lines "  Delete \"${target_text}\"\n  !insertmacro ZvCheckFile \"${target_text}\"\n")
    # Every folder up to the top, so that empty parents go too.
    set(parent "${folder}")
    while(NOT parent STREQUAL "")
        list(APPEND folders "${parent}")
        string(FIND "${parent}" "\\" cut REVERSE)
        if(cut EQUAL -1)
            set(parent "")
        else()
            string(SUBSTRING "${parent}" 0 ${cut} parent)
        endif()
    endwhile()
    file(SIZE "${stage}/${relative}" size)
    math(EXPR size_bytes "${size_bytes} + ${size}")
    file(SHA256 "${stage}/${relative}" hash)
    string(APPEND fingerprint "${relative}=${hash}|")
endforeach()
if(NOT current_overwrite STREQUAL "on")
    string(APPEND install_lines "  SetOverwrite on\n")
endif()

# Deepest first; RMDir without /r leaves a folder that still holds foreign files.
list(REMOVE_DUPLICATES folders)
list(SORT folders)
list(REVERSE folders)
set(folder_lines "")
foreach(folder IN LISTS folders)
    nsis_text("${folder}" folder_text)
    string(APPEND folder_lines "  RMDir \"$PROGRAMFILES64\\${folder_text}\"\n")
endforeach()

math(EXPR size_kb "(${size_bytes} + 1023) / 1024")
# The new setup tool, run from the temporary folder before anything is copied.
nsis_text("${stage}/ZorvaneService/Dromlet.exe" new_dromlet_text)
file(WRITE "${work}/payload.nsh"
    "; Generated from the installed tree ${stage}.\n"
    "!define ZV_SIZE_KB ${size_kb}\n"
    "!define ZV_NEW_DROMLET \"${new_dromlet_text}\"\n"
    "!macro ZvInstallFiles\n${install_lines}!macroend\n"
    "!macro ZvRemoveFiles\n${remove_lines}!macroend\n"
    "!macro ZvRemoveFolders\n${folder_lines}!macroend\n")

file(READ "${SCRIPT}" script_text)
file(READ "${CMAKE_CURRENT_LIST_FILE}" this_text)
string(SHA256 fingerprint "${fingerprint}${script_text}${this_text}")
set(stamp "${work}/fingerprint")
if(EXISTS "${OUTPUT}" AND EXISTS "${stamp}")
    file(READ "${stamp}" previous)
    if(previous STREQUAL fingerprint)
        return()
    endif()
endif()

execute_process(
    COMMAND "${MAKENSIS}" -V2 "-DZV_VERSION=${VERSION}" "-DZV_PUBLISHER=${PUBLISHER}"
            "-DZV_PAYLOAD=${work}/payload.nsh" "-DZV_OUTFILE=${OUTPUT}" "${SCRIPT}"
    RESULT_VARIABLE built)
if(NOT built EQUAL 0)
    file(REMOVE "${OUTPUT}" "${stamp}")
    message(FATAL_ERROR "makensis failed (${built})")
endif()
file(WRITE "${stamp}" "${fingerprint}")
message(STATUS "Built ${OUTPUT}")
