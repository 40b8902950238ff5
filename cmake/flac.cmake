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
# libFLAC's own list (its src/libFLAC/CMakeLists.txt), without the Ogg files.
set(flac_sources bitmath bitreader bitwriter cpu crc fixed fixed_intrin_sse2 fixed_intrin_ssse3 float format
    lpc lpc_intrin_neon lpc_intrin_sse2 lpc_intrin_sse41 lpc_intrin_avx2 lpc_intrin_fma lpc_intrin_vsx md5
    memory metadata_iterators metadata_object stream_decoder stream_encoder stream_encoder_intrin_sse2
    stream_encoder_intrin_ssse3 stream_encoder_intrin_avx2 stream_encoder_framing window)
list(TRANSFORM flac_sources PREPEND ${flac_dir}/)
list(TRANSFORM flac_sources APPEND .c)
add_library(twoband_flac STATIC ${flac_sources})
if(WIN32)
  target_sources(twoband_flac PRIVATE ${TWOBAND_FLAC_SOURCE}/src/share/win_utf8_io/win_utf8_io.c)
endif()
target_include_directories(twoband_flac PUBLIC ${TWOBAND_FLAC_SOURCE}/include
                           PRIVATE ${flac_dir}/include ${TWOBAND_FLAC_SOURCE}/src/libFLAC/include)
# What libFLAC's configure would find, for both targets: no Ogg, no hand-written
# assembly or intrinsics (plain C on every machine), little-endian.
file(STRINGS ${TWOBAND_FLAC_SOURCE}/CMakeLists.txt flac_project REGEX "project\\(FLAC VERSION")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" flac_version "${flac_project}")
target_compile_definitions(twoband_flac PUBLIC FLAC__NO_DLL
                           PRIVATE FLAC__HAS_OGG=0 PACKAGE_VERSION="${flac_version}" FLAC__NO_ASM
                                   CPU_IS_BIG_ENDIAN=0 ENABLE_64_BIT_WORDS=0 FLAC__HAS_X86INTRIN=0
                                   FLAC__HAS_NEONINTRIN=0 FLAC__HAS_A64NEONINTRIN=0 HAVE_LROUND=1
                                   HAVE_STDINT_H HAVE_INTTYPES_H HAVE_FSEEKO)
# GNU C: libFLAC calls strdup and the like, which strict C99 leaves undeclared.
set_target_properties(twoband_flac PROPERTIES C_STANDARD 99 C_EXTENSIONS ON POSITION_INDEPENDENT_CODE ON)
# libFLAC's own warnings are not this project's.
target_compile_options(twoband_flac PRIVATE -w)
