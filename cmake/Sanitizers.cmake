# HOV_SANITIZE=address builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# HOV_SANITIZE=thread with ThreadSanitizer. Applies to every target of the tree.
# A sanitizer tree keeps line tables only (-g1): a report needs no more than functions, files and
# lines, and full debug information adds a third to the compile time.
set(HOV_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
if(NOT HOV_SANITIZE STREQUAL "")
  add_compile_options(-g1)
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
