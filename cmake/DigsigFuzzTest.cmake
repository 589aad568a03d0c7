# digsig_add_fuzz_test(<name> SOURCES <file>... [MOC_HEADERS <header>...] [INCLUDE_DIRS <dir>...]
#                      [LIBRARIES <target or linker argument>...] CORPUS <dir> [SECONDS <n>])
#
# Builds the libFuzzer target <name> in the current binary folder with clang++ (the rest of the
# build may use another compiler), under AddressSanitizer and UndefinedBehaviorSanitizer and with
# the folder's compile definitions, and adds the test <name> that runs it for SECONDS seconds
# (default 15) with a fixed seed, so that every test run explores the same way. New inputs go to
# a corpus in the build tree; the corpus in the source tree is only read. Does nothing when
# clang++ is missing. tools/run-fuzzers.sh runs the same programs longer, at random.
function(digsig_add_fuzz_test name)
    cmake_parse_arguments(ARG "" "CORPUS;SECONDS" "SOURCES;MOC_HEADERS;INCLUDE_DIRS;LIBRARIES" ${ARGN})
    if(NOT CLANGXX_EXECUTABLE)
        message(STATUS "clang++ not found: the fuzz test ${name} is not built")
        return()
    endif()
    if(NOT ARG_SECONDS)
        set(ARG_SECONDS 15)
    endif()

    set(sources)
    set(dependencies)
    foreach(source ${ARG_SOURCES})
        get_filename_component(source ${source} ABSOLUTE)
        list(APPEND sources ${source})
        # The command knows nothing of includes: rebuild when a source's own header changes.
        get_filename_component(header_base ${source} NAME_WLE)
        get_filename_component(source_dir ${source} DIRECTORY)
        if(EXISTS ${source_dir}/${header_base}.h)
            list(APPEND dependencies ${source_dir}/${header_base}.h)
        endif()
    endforeach()
    if(ARG_MOC_HEADERS)
        qt5_wrap_cpp(moc_sources ${ARG_MOC_HEADERS})
        list(APPEND sources ${moc_sources})
    endif()

    set(flags)
    foreach(directory ${ARG_INCLUDE_DIRS})
        get_filename_component(directory ${directory} ABSOLUTE)
        list(APPEND flags -I${directory})
    endforeach()
    get_directory_property(definitions COMPILE_DEFINITIONS)
    list(REMOVE_DUPLICATES definitions)
    foreach(definition ${definitions})
        list(APPEND flags -D${definition})
    endforeach()
    set(link_arguments)
    foreach(library ${ARG_LIBRARIES})
        if(TARGET ${library})
            # $<SEMICOLON> keeps the list whole here; COMMAND_EXPAND_LISTS splits it into arguments.
            list(APPEND flags "-I$<JOIN:$<TARGET_PROPERTY:${library},INTERFACE_INCLUDE_DIRECTORIES>,$<SEMICOLON>-I>")
            list(APPEND link_arguments $<TARGET_FILE:${library}>)
        else()
            list(APPEND link_arguments ${library})
        endif()
    endforeach()

    set(fuzzer ${CMAKE_CURRENT_BINARY_DIR}/${name})
    add_custom_command(
        OUTPUT ${fuzzer}
        COMMAND ${CLANGXX_EXECUTABLE} -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined
                -fno-sanitize-recover=undefined ${flags} ${sources} ${link_arguments} -o ${fuzzer}
        DEPENDS ${sources} ${dependencies} ${ARG_MOC_HEADERS}
        COMMAND_EXPAND_LISTS
        VERBATIM
        COMMENT "Building the fuzz target ${name} with clang++")
    add_custom_target(${name}_program ALL DEPENDS ${fuzzer})

    get_filename_component(corpus ${ARG_CORPUS} ABSOLUTE)
    set(work_corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
    file(MAKE_DIRECTORY ${work_corpus})
    add_test(NAME ${name}
             COMMAND ${fuzzer} -seed=1 -max_total_time=${ARG_SECONDS} -timeout=10 -rss_limit_mb=2048
                     -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/ ${work_corpus} ${corpus})
    set_tests_properties(${name} PROPERTIES LABELS "fuzz" TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
