# mf_add_layer(<name> <libraries...>): the library of one folder of src/, made
# of its *.cpp and *.h files, linking the layers below it that it names (and
# Qt where it may use it). Moc runs only for a layer that links Qt.
function(mf_add_layer name)
    file(GLOB sources CONFIGURE_DEPENDS *.cpp *.h)
    list(FILTER sources EXCLUDE REGEX "/main\\.cpp$") # a program's own start
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARGN})
    set(uses_qt OFF)
    foreach(library ${ARGN})
        if(library MATCHES "^Qt6::")
            set(uses_qt ON)
        endif()
    endforeach()
    set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX AUTOMOC ${uses_qt})
endfunction()
