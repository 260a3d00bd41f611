# Warning flags for our own code. Tests get the same set minus -Wconversion,
# which GoogleTest's macros trip over.
add_library(imgnorm_warnings INTERFACE)
target_compile_options(imgnorm_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor -Wold-style-cast
  $<$<BOOL:${IMGNORM_WERROR}>:-Werror>)

add_library(imgnorm_test_warnings INTERFACE)
target_compile_options(imgnorm_test_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow $<$<BOOL:${IMGNORM_WERROR}>:-Werror>)
