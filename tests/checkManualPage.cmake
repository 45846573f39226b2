# The manual page names every verb and option that the tool's own usage
# names, so that the two cannot drift apart:
#   cmake -DTOOL=build/launchertool -DPAGE=docs/launchertool.1 -P checkManualPage.cmake
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE usage RESULT_VARIABLE helped)
if(NOT helped EQUAL 0)
    message(FATAL_ERROR "${TOOL} --help exits with ${helped}")
endif()
# The page as a reader sees its words: roff writes a dash as \- and a
# backslash as \e.
file(READ ${PAGE} page)
string(REPLACE "\\-" "-" page "${page}")
string(REPLACE "\\e" "\\" page "${page}")

string(REGEX MATCHALL "launchertool [a-z]+" verbs "${usage}")
string(REGEX MATCHALL "--?[a-z]+" options "${usage}")
list(TRANSFORM verbs REPLACE "launchertool " "")
set(words ${verbs} ${options})
list(REMOVE_DUPLICATES words)
list(LENGTH words count)
if(count LESS 12)
    message(FATAL_ERROR "the usage names only [${words}]:\n${usage}")
endif()
set(missing)
foreach(word ${words})
    # As a word of its own: --json must not count for --j, nor brand for a brandTest.
    if(NOT page MATCHES "(^|[^-a-z])${word}([^-a-z]|$)")
        list(APPEND missing ${word})
    endif()
endforeach()
if(missing)
    message(FATAL_ERROR "${PAGE} does not name [${missing}], which the usage names")
endif()
# Each verb has its synopsis line, with the usage's own words after the verb.
string(REGEX MATCHALL "launchertool [a-z]+ [^\n]*" lines "${usage}")
foreach(line ${lines})
    string(REGEX REPLACE "^launchertool ([a-z]+) .*" "\\1" verb "${line}")
    if(NOT page MATCHES "\n\\.B launchertool ${verb}\n")
        message(FATAL_ERROR "${PAGE} has no synopsis of ${verb}")
    endif()
endforeach()
message(STATUS "${PAGE} names [${words}]")
