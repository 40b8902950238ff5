# The DPF builds the VST3 and CLAP modules join: for FORMAT (VST3 or CLAP) and each
# plugin (stereo, mono), an object library of DPF's sources and twoband_dpf.cpp, in a
# namespace of its own, with its entry points renamed twoband_<plugin>_<name>, so that
# one module holds both plugins (plugins/vst3, plugins/clap).

# twoband_dpf_parts(FORMAT RENAMED...): the targets twoband_<format>_stereo and
# twoband_<format>_mono.
function(twoband_dpf_parts format)
  string(TOLOWER ${format} lower)
  foreach(plugin stereo mono)
    set(target twoband_${lower}_${plugin})
    add_library(${target} OBJECT ${TWOBAND_DPF_DISTRHO}/DistrhoPluginMain.cpp
                ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/twoband_dpf.cpp)
    set(renamed "")
    foreach(name ${ARGN})
      list(APPEND renamed ${name}=twoband_${plugin}_${name})
    endforeach()
    if(plugin STREQUAL stereo)
      set(channels 2)
    else()
      set(channels 1)
    endif()
    target_compile_definitions(${target} PRIVATE DISTRHO_PLUGIN_TARGET_${format}
      TWOBAND_DPF_CHANNELS=${channels} DISTRHO_NAMESPACE=TwobandDpf_${plugin} ${renamed})
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
    target_include_directories(${target} SYSTEM PRIVATE ${TWOBAND_DPF_DISTRHO}
                               ${TWOBAND_DPF_DISTRHO}/src)
    target_link_libraries(${target} PRIVATE twoband_plugin_glue)
    # DPF's own sources are C++11 of their own style: their warnings are not ours.
    set_source_files_properties(${TWOBAND_DPF_DISTRHO}/DistrhoPluginMain.cpp TARGET_DIRECTORY ${target}
                                PROPERTIES COMPILE_OPTIONS "-w")
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON
                          CXX_VISIBILITY_PRESET hidden)
  endforeach()
endfunction()
