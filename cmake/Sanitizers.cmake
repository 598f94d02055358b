# HOV_SANITIZE=address builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# HOV_SANITIZE=thread with ThreadSanitizer. Applies to every target of the tree.
set(HOV_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
if(HOV_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(HOV_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT HOV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "HOV_SANITIZE must be empty, address or thread")
endif()
