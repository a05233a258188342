# Compiles the product tables against one product header and checks the outcome:
# EXPECTED "compiles", or a failure whose output shows EXPECTED and no other limit.
string(REPLACE "|" ";" flags "${FLAGS}")
execute_process(
    COMMAND "${COMPILER}" ${flags} "-I${PRODUCT_HEADER_DIR}" -c "${TABLES}" -o "${OBJECT}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
file(REMOVE "${OBJECT}")

if(EXPECTED STREQUAL "compiles")
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "the product tables should compile, but:\n${output}")
    endif()
    return()
endif()

if(result EQUAL 0)
    message(FATAL_ERROR "the product tables compiled; expected a failure naming: ${EXPECTED}")
endif()
string(FIND "${output}" "static assertion failed: ${EXPECTED}" found)
if(found EQUAL -1)
    message(FATAL_ERROR "the failure does not say \"${EXPECTED}\":\n${output}")
endif()
# One broken item gives one message: a second one would point the reader the wrong way.
string(REGEX MATCHALL "static assertion failed" failures "${output}")
list(LENGTH failures failureCount)
if(NOT failureCount EQUAL 1)
    message(FATAL_ERROR "expected exactly one failed limit, got ${failureCount}:\n${output}")
endif()
