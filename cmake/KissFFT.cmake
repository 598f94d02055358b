# Kiss FFT (float) as the target hov_kissfft.
# Linux: Debian's libkissfft-dev. Windows: the same version's Debian source package,
# unpacked by scripts/fetch-kissfft-source into HOV_KISSFFT_SOURCE_DIR (a folder named kissfft;
# several trees may share one) and compiled here.
if(WIN32)
  set(HOV_KISSFFT_SOURCE_DIR "${CMAKE_BINARY_DIR}/_deps/kissfft-src/kissfft"
      CACHE PATH "Unpacked Kiss FFT sources for the Windows build")
  if(NOT EXISTS "${HOV_KISSFFT_SOURCE_DIR}/kiss_fftr.c")
    get_filename_component(kissfft_parent "${HOV_KISSFFT_SOURCE_DIR}" DIRECTORY)
    execute_process(
      COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-kissfft-source ${kissfft_parent}
      RESULT_VARIABLE fetch_result)
    if(NOT fetch_result EQUAL 0 OR NOT EXISTS "${HOV_KISSFFT_SOURCE_DIR}/kiss_fftr.c")
      message(FATAL_ERROR "Kiss FFT sources not found in ${HOV_KISSFFT_SOURCE_DIR}")
    endif()
  endif()
  add_library(hov_kissfft STATIC ${HOV_KISSFFT_SOURCE_DIR}/kiss_fft.c
                                 ${HOV_KISSFFT_SOURCE_DIR}/kiss_fftr.c)
  target_compile_definitions(hov_kissfft PUBLIC kiss_fft_scalar=float)
  target_include_directories(hov_kissfft SYSTEM PUBLIC ${HOV_KISSFFT_SOURCE_DIR})
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KISSFFT REQUIRED IMPORTED_TARGET kissfft-float)
  add_library(hov_kissfft INTERFACE)
  target_link_libraries(hov_kissfft INTERFACE PkgConfig::KISSFFT)
endif()
