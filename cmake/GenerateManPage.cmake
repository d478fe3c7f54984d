# Writes a tool's manual page from its own help, so that the page cannot
# describe options the tool does not have, or miss ones it has:
#   cmake -DTOOL=path/to/idxreport -DHELP2MAN=help2man -DGZIP=gzip
#         -DOUTPUT=idxreport.1.gz -P GenerateManPage.cmake
#
# The page is help2man's rendering of `TOOL --help`, followed by a SUBCOMMANDS
# section with one subsection per subcommand, each help2man's rendering of
# `TOOL SUB --help`. The subcommands are the ones `TOOL --help` lists under
# "Subcommands:", so a new one appears without touching this file. The
# "Exit status:" paragraph of `TOOL --help` becomes the EXIT STATUS section.
#
# Everything is done on whole strings, never on CMake lists: roff and help text
# hold semicolons and brackets, which lists would split or mangle.
cmake_minimum_required(VERSION 3.25)

foreach(var TOOL HELP2MAN GZIP OUTPUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "GenerateManPage: ${var} is not set")
    endif()
endforeach()
get_filename_component(tool_name "${TOOL}" NAME)

function(run_checked out_var)
    execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        list(JOIN ARGN " " shown)
        message(FATAL_ERROR "GenerateManPage: `${shown}` failed (${rc}): ${err}")
    endif()
    set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

# "  show     Print the records ..." lines, up to the first blank line.
run_checked(main_help "${TOOL}" --help)
if(NOT main_help MATCHES "\nSubcommands:\n(([^\n]+\n)+)")
    message(FATAL_ERROR "GenerateManPage: `${tool_name} --help` lists no subcommands:\n${main_help}")
endif()
string(REGEX MATCHALL "(^|\n)  [^ \n]+" subcommands "${CMAKE_MATCH_1}")
string(REGEX REPLACE "(^|\n)  " "" subcommands "${subcommands}")
if(NOT main_help MATCHES "\nExit status:\n")
    message(FATAL_ERROR "GenerateManPage: `${tool_name} --help` says nothing of the exit status")
endif()

# NAME line: the help's first line, as man pages write it.
# "Reads, checks and repairs files." -> "reads, checks and repairs files"
string(REGEX MATCH "^[^\n]*" summary "${main_help}")
string(REGEX REPLACE "\\.$" "" summary "${summary}")
string(SUBSTRING "${summary}" 0 1 first)
string(TOLOWER "${first}" first)
string(SUBSTRING "${summary}" 1 -1 rest)
set(summary "${first}${rest}")

run_checked(page "${HELP2MAN}" --no-info --no-discard-stderr "--name=${summary}" "${TOOL}")

set(section ".SH SUBCOMMANDS\n")
foreach(sub IN LISTS subcommands)
    run_checked(sub_help "${TOOL}" ${sub} --help)
    if(NOT sub_help MATCHES "\nUsage: ([^\n]+)")
        message(FATAL_ERROR "GenerateManPage: `${tool_name} ${sub} --help` has no usage line:\n${sub_help}")
    endif()
    # The usage line heads the subsection; in roff a minus is \- and a
    # backslash \e, and the title is one quoted argument.
    set(usage "${CMAKE_MATCH_1}")
    string(REPLACE "\\" "\\e" usage "${usage}")
    string(REPLACE "-" "\\-" usage "${usage}")
    string(REPLACE "\"" "\\(dq" usage "${usage}")

    run_checked(sub_page "${HELP2MAN}" --no-info --no-discard-stderr "--help-option=${sub} --help" "${TOOL}")
    set(marker "\n.SH DESCRIPTION\n")
    string(FIND "${sub_page}" "${marker}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "GenerateManPage: help2man wrote no DESCRIPTION for ${sub}:\n${sub_page}")
    endif()
    string(LENGTH "${marker}" length)
    math(EXPR at "${at} + ${length}")
    string(SUBSTRING "${sub_page}" ${at} -1 body)
    # Inside a subsection, help2man's headings become paragraphs:
    # `.SH OPTIONS` and `.SS "Positionals:"` -> `.PP` and the heading's text.
    string(REPLACE "\n.SH OPTIONS\n" "\n.PP\nOptions:\n" body "\n${body}")
    string(REGEX REPLACE "\n\\.S[HS] \"?([^\"\n]*)\"?\n" "\n.PP\n\\1\n" body "${body}")
    string(APPEND section ".SS \"${usage}\"${body}")
endforeach()

set(marker "\n.SS \"Exit status:\"\n")
string(FIND "${page}" "${marker}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "GenerateManPage: help2man did not keep the exit status paragraph:\n${page}")
endif()
string(SUBSTRING "${page}" 0 ${at} head)
string(LENGTH "${marker}" length)
math(EXPR at "${at} + ${length}")
string(SUBSTRING "${page}" ${at} -1 tail)
set(page "${head}\n${section}.SH \"EXIT STATUS\"\n${tail}")

string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
file(WRITE "${plain}" "${page}")
# -n: no name or time stamp in the header, so equal pages give equal files.
execute_process(COMMAND "${GZIP}" -9 -n -c "${plain}" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "GenerateManPage: ${GZIP} failed (${rc})")
endif()
