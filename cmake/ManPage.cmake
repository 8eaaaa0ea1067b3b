# Writes the man page of the kestrel command from its own help: the command's
# --help, then each subcommand's (and theirs, one level down), gzipped.
#   cmake -DKESTREL=<kestrel> -DVERSION=<x.y.z> -DOUTPUT=<kestrel.1.gz> -P ManPage.cmake
foreach(v KESTREL VERSION OUTPUT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "ManPage.cmake needs -D${v}=...")
  endif()
endforeach()

function(help_of out)
  execute_process(COMMAND ${KESTREL} ${ARGN} --help OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " words)
    message(FATAL_ERROR "kestrel ${words} --help failed (${rc})")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The names listed under "Subcommands:" in a help text.
function(subcommands_of out text)
  set(names "")
  set(in_list FALSE)
  string(REPLACE "\n" ";" lines "${text}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[A-Za-z]")
      set(in_list FALSE)
      if(line STREQUAL "Subcommands:")
        set(in_list TRUE)
      endif()
    elseif(in_list AND line MATCHES "^  ([a-z][a-z0-9_-]*)")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# Help text as roff no-fill lines: backslashes escaped, leading dots and quotes
# kept literal.
function(as_roff out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

help_of(top)
string(REGEX MATCH "^[^\n]*" summary "${top}")
string(REGEX REPLACE "\\.$" "" summary "${summary}")
string(REGEX REPLACE "^kestrel " "" summary "${summary}")
as_roff(top_roff "${top}")
set(page ".TH KESTREL 1 \"\" \"kestrel ${VERSION}\" \"User Commands\"
.SH NAME
kestrel \\- ${summary}
.SH SYNOPSIS
.B kestrel
\\fISUBCOMMAND\\fR [\\fIOPTIONS\\fR]
.SH DESCRIPTION
${top_roff}.SH COMMANDS
")
subcommands_of(verbs "${top}")
foreach(verb IN LISTS verbs)
  help_of(text ${verb})
  as_roff(roff "${text}")
  string(APPEND page ".SS kestrel ${verb}\n${roff}")
  subcommands_of(subverbs "${text}")
  foreach(sub IN LISTS subverbs)
    help_of(text ${verb} ${sub})
    as_roff(roff "${text}")
    string(APPEND page ".SS kestrel ${verb} ${sub}\n${roff}")
  endforeach()
endforeach()
string(APPEND page ".SH FILES
.TP
.I /usr/share/kestrel/prices.db
the bundled price store (CSI 300, CSI 500, CSI 1000, Kweichow Moutai daily closes)
.TP
.I /usr/share/kestrel/examples/
the example book, its market and single contracts
")

get_filename_component(dir ${OUTPUT} DIRECTORY)
get_filename_component(name ${OUTPUT} NAME_WE)
file(WRITE ${dir}/${name}.1 "${page}")
file(ARCHIVE_CREATE OUTPUT ${OUTPUT} PATHS ${dir}/${name}.1 FORMAT raw COMPRESSION GZip)
