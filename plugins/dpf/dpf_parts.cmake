# The DPF builds the VST3 and CLAP modules join: for FORMAT (VST3 or CLAP) and each
# plugin (stereo, mono), an object library of DPF's sources and twoband_dpf.cpp, in a
# namespace of its own, with its entry points renamed twoband_<plugin>_<name>, so that
# one module holds both plugins (plugins/vst3, plugins/clap).

# twoband_dpf_parts(FORMAT RENAMED...): the targets twoband_<format>_stereo and
# twoband_<format>_mono; on Windows DllMain is renamed too (dll_main.cpp calls both).
# TWOBAND_DPF_RENAMED gets the renamed symbols, which DPF marks for export: on
# Windows the module keeps them out of its exports.
function(twoband_dpf_parts format)
  string(TOLOWER ${format} lower)
  set(all_renamed "")
  foreach(plugin stereo mono)
    set(target twoband_${lower}_${plugin})
    add_library(${target} OBJECT ${TWOBAND_DPF_DISTRHO}/DistrhoPluginMain.cpp
                ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/twoband_dpf.cpp)
    set(renamed "")
    set(names ${ARGN})
    if(WIN32)
      list(APPEND names DllMain)
    endif()
    foreach(name ${names})
      list(APPEND renamed ${name}=twoband_${plugin}_${name})
      list(APPEND all_renamed twoband_${plugin}_${name})
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
  set(TWOBAND_DPF_RENAMED ${all_renamed} PARENT_SCOPE)
endfunction()

# twoband_dpf_module(TARGET FORMAT SOURCE RENAMED...): the module TARGET of SOURCE
# (which joins the two parts) and both parts of FORMAT, one file with the C and C++
# runtimes linked in on Windows. DPF marks its entry points for export; renamed, they
# are not the module's, so on Windows their export directives are dropped from the
# parts' objects before the link.
function(twoband_dpf_module target format source)
  twoband_dpf_parts(${format} ${ARGN})
  string(TOLOWER ${format} lower)
  add_library(${target} MODULE ${source} $<TARGET_OBJECTS:twoband_${lower}_stereo>
              $<TARGET_OBJECTS:twoband_${lower}_mono>)
  target_include_directories(${target} SYSTEM PRIVATE ${TWOBAND_DPF_DISTRHO}/src)
  target_link_libraries(${target} PRIVATE twoband_plugin_glue ${CMAKE_DL_LIBS})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME twoband
                        CXX_VISIBILITY_PRESET hidden)
  if(WIN32)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/dll_main.cpp)
    target_link_options(${target} PRIVATE -static)
    add_custom_command(TARGET ${target} PRE_LINK
      COMMAND ${CMAKE_STRIP} --strip-debug --remove-section=.drectve $<TARGET_OBJECTS:twoband_${lower}_stereo>
              $<TARGET_OBJECTS:twoband_${lower}_mono>
      COMMAND_EXPAND_LISTS VERBATIM)
  endif()
endfunction()
