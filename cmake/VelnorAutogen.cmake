# Qt's code generator does not notice files that a glob adds to a target of an existing build directory
# (their headers are only order-only dependencies of its step), so a new Q_OBJECT header linked without
# its meta-object code. When the glob's result changes, forget the generator's stamp so that it runs again.
function(velnor_autogen_follows_sources target)
    string(MD5 digest "${ARGN}")
    set(record ${CMAKE_CURRENT_BINARY_DIR}/${target}_sources.md5)
    set(previous "")
    if(EXISTS ${record})
        file(READ ${record} previous)
    endif()
    if(NOT previous STREQUAL digest)
        file(REMOVE ${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/timestamp)
        file(WRITE ${record} ${digest})
    endif()
endfunction()
