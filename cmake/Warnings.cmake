# Warnings are errors everywhere in our own code.
add_compile_options(-Wall -Wextra -Wpedantic -Werror -Wshadow -Wnon-virtual-dtor
                    -Wold-style-cast -Wcast-align -Woverloaded-virtual
                    -Wimplicit-fallthrough
                    # "????" is how unknown status bytes print; C++17 has no trigraphs anyway.
                    -Wno-trigraphs
                    # Designated initializers may leave members at their defaults.
                    -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ 12 reports false positives from libstdc++ internals at -O2 (PR 105651 and friends).
  add_compile_options(-Wno-restrict -Wno-array-bounds -Wno-stringop-overflow)
endif()
