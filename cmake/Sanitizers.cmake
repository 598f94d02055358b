# HOV_SANITIZE=address builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# HOV_SANITIZE=thread with ThreadSanitizer. Applies to every target of the tree.
# A sanitizer tree compiles at -O1 with line tables only (-g1): a report needs no more than
# functions, files and lines, and the instrumented code compiles in half the time it takes at -O2
# with full debug information.
set(HOV_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
if(NOT HOV_SANITIZE STREQUAL "")
  add_compile_options(-O1 -g1)
endif()
if(HOV_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(HOV_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT HOV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "HOV_SANITIZE must be empty, address or thread")
endif()
