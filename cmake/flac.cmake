# Makes the target twoband_flac (libFLAC, without Ogg) where it can, and says so where
# it cannot.
# - Native builds use the system's library (Debian libflac-dev).
# - Cross builds (Windows, Arm) compile libFLAC's C sources from Debian's source package,
#   fetched by tools/debian_source.sh into TWOBAND_FLAC_SOURCE (the Makefile's windows
#   and aarch64 targets do), with these files' own list of sources.
if(NOT CMAKE_CROSSCOMPILING)
  find_path(TWOBAND_FLAC_INCLUDE FLAC/stream_decoder.h)
  find_library(TWOBAND_FLAC_LIBRARY FLAC)
  if(TWOBAND_FLAC_INCLUDE AND TWOBAND_FLAC_LIBRARY)
    add_library(twoband_flac INTERFACE)
    target_include_directories(twoband_flac INTERFACE ${TWOBAND_FLAC_INCLUDE})
    target_link_libraries(twoband_flac INTERFACE ${TWOBAND_FLAC_LIBRARY})
  else()
    message(STATUS "FLAC left out: libFLAC not found (apt-get install libflac-dev)")
  endif()
  return()
endif()

set(TWOBAND_FLAC_SOURCE "" CACHE PATH "libFLAC's unpacked source package, for a cross build")
if(NOT EXISTS "${TWOBAND_FLAC_SOURCE}/src/libFLAC/stream_decoder.c")
  message(STATUS "FLAC left out: no libFLAC source for this cross build "
                 "(tools/debian_source.sh flac fetches it; make windows and make aarch64 do)")
  return()
endif()
set(flac_dir ${TWOBAND_FLAC_SOURCE}/src/libFLAC)
add_library(twoband_flac STATIC
  ${flac_dir}/bitmath.c ${flac_dir}/bitreader.c ${flac_dir}/bitwriter.c ${flac_dir}/cpu.c
  ${flac_dir}/crc.c ${flac_dir}/fixed.c ${flac_dir}/fixed_intrin_sse2.c ${flac_dir}/fixed_intrin_ssse3.c
  ${flac_dir}/fixed_intrin_sse42.c ${flac_dir}/fixed_intrin_avx2.c
  ${flac_dir}/float.c ${flac_dir}/format.c ${flac_dir}/lpc.c ${flac_dir}/lpc_intrin_neon.c
  ${flac_dir}/lpc_intrin_sse2.c ${flac_dir}/lpc_intrin_sse41.c ${flac_dir}/lpc_intrin_avx2.c
  ${flac_dir}/lpc_intrin_fma.c ${flac_dir}/md5.c ${flac_dir}/memory.c
  ${flac_dir}/metadata_iterators.c ${flac_dir}/metadata_object.c ${flac_dir}/stream_decoder.c
  ${flac_dir}/stream_encoder.c ${flac_dir}/stream_encoder_intrin_sse2.c
  ${flac_dir}/stream_encoder_intrin_ssse3.c ${flac_dir}/stream_encoder_intrin_avx2.c
  ${flac_dir}/stream_encoder_framing.c ${flac_dir}/window.c)
if(WIN32)
  target_sources(twoband_flac PRIVATE ${TWOBAND_FLAC_SOURCE}/src/share/win_utf8_io/win_utf8_io.c)
endif()
target_include_directories(twoband_flac PUBLIC ${TWOBAND_FLAC_SOURCE}/include
                           PRIVATE ${flac_dir}/include ${TWOBAND_FLAC_SOURCE}/src/libFLAC/include)
target_compile_definitions(twoband_flac PUBLIC FLAC__NO_DLL
                           PRIVATE FLAC__HAS_OGG=0 HAVE_CONFIG_H=0 PACKAGE_VERSION="1.4.2" HAVE_STDINT_H
                                   HAVE_LROUND FLAC__NO_ASM $<$<BOOL:${WIN32}>:HAVE_FSEEKO=0>
                                   $<$<NOT:$<BOOL:${WIN32}>>:HAVE_FSEEKO>)
set_target_properties(twoband_flac PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
# libFLAC's own warnings are not this project's.
target_compile_options(twoband_flac PRIVATE -w)
