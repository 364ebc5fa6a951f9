# The compression libraries the engine decodes with, linked to `target`.
# zlib, libbz2 and liblzma are on every machine of ours, headers included.
# ISA-L (gzip, about 2.5 times zlib's speed) and libzstd are used where
# their headers are installed (Debian: libisal-dev, libzstd-dev); without
# them gzip is decoded by zlib and zstd by the optional Python package,
# with the same results.
option(VORNISH_USE_ISAL "Decode gzip with ISA-L when it is installed" ON)
option(VORNISH_USE_ZSTD "Decode zstd natively when libzstd is installed" ON)
# UTF-16 is converted by ICU (about twice glibc iconv's speed) where its
# headers are installed (Debian: libicu-dev); without it, by iconv, with the
# same results.
option(VORNISH_USE_ICU "Convert UTF-16 with ICU when it is installed" ON)

find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_package(LibLZMA REQUIRED)
if(VORNISH_USE_ISAL)
  find_path(VORNISH_ISAL_INCLUDE isa-l/igzip_lib.h)
  find_library(VORNISH_ISAL_LIBRARY NAMES isal)
endif()
if(VORNISH_USE_ZSTD)
  find_path(VORNISH_ZSTD_INCLUDE zstd.h)
  find_library(VORNISH_ZSTD_LIBRARY NAMES zstd)
endif()
if(VORNISH_USE_ICU)
  find_package(ICU COMPONENTS uc QUIET)
endif()
if(ICU_FOUND)
  message(STATUS "UTF-16: ICU ${ICU_VERSION}")
else()
  message(STATUS "UTF-16: iconv (install libicu-dev for a conversion about twice as fast)")
endif()
if(VORNISH_ISAL_INCLUDE AND VORNISH_ISAL_LIBRARY)
  message(STATUS "gzip: ISA-L (${VORNISH_ISAL_LIBRARY})")
else()
  message(STATUS "gzip: zlib (install libisal-dev for a decoder about 2.5 times faster)")
endif()
if(VORNISH_ZSTD_INCLUDE AND VORNISH_ZSTD_LIBRARY)
  message(STATUS "zstd: native (${VORNISH_ZSTD_LIBRARY})")
else()
  message(STATUS "zstd: through the Python package zstandard (install libzstd-dev to decode natively)")
endif()

# PUBLIC: tests and fuzz targets make reference streams with the same
# libraries and ask which codecs the build has.
function(vornish_link_codecs target)
  target_link_libraries(${target} PUBLIC ZLIB::ZLIB BZip2::BZip2 LibLZMA::LibLZMA)
  if(VORNISH_ISAL_INCLUDE AND VORNISH_ISAL_LIBRARY)
    target_include_directories(${target} SYSTEM PRIVATE ${VORNISH_ISAL_INCLUDE})
    target_link_libraries(${target} PRIVATE ${VORNISH_ISAL_LIBRARY})
    target_compile_definitions(${target} PRIVATE VORNISH_HAVE_ISAL=1)
  endif()
  if(VORNISH_ZSTD_INCLUDE AND VORNISH_ZSTD_LIBRARY)
    target_include_directories(${target} SYSTEM PUBLIC ${VORNISH_ZSTD_INCLUDE})
    target_link_libraries(${target} PUBLIC ${VORNISH_ZSTD_LIBRARY})
    target_compile_definitions(${target} PUBLIC VORNISH_HAVE_ZSTD=1)
  endif()
  if(ICU_FOUND)
    target_link_libraries(${target} PRIVATE ICU::uc)
    target_compile_definitions(${target} PRIVATE VORNISH_HAVE_ICU=1)
  endif()
endfunction()
