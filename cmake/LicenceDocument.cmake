# cmake -DTITLE=... -DOUTPUT=... -DINPUTS=a,b -P LicenceDocument.cmake
# Writes one HTML page holding the given licence texts (Debian's copyright files), escaped.
set(body "")
string(REPLACE "," ";" INPUTS "${INPUTS}")
foreach(input IN LISTS INPUTS)
    if(EXISTS "${input}")
        file(READ "${input}" text)
        string(REPLACE "&" "&amp;" text "${text}")
        string(REPLACE "<" "&lt;" text "${text}")
        string(REPLACE ">" "&gt;" text "${text}")
        string(APPEND body "<h2>${input}</h2>\n<pre>${text}</pre>\n")
    endif()
endforeach()
file(WRITE "${OUTPUT}" "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>${TITLE}</title></head>\n<body><h1>${TITLE}</h1>\n${body}</body></html>\n")
