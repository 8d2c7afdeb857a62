# Shared objects that are preloaded into arbitrary programs: no C++ runtime,
# nothing exported beyond the version script's list, only libc needed.

# How everything linked into a preloaded library is compiled.
set(KANDREL_PRELOAD_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics -fvisibility=hidden
    -fvisibility-inlines-hidden)

function(kandrel_preload_library target version_script)
  target_compile_options(${target} PRIVATE ${KANDREL_PRELOAD_CXX_FLAGS})
  target_link_options(${target} PRIVATE -Wl,-z,defs -Wl,--version-script=${version_script}
                      -Wl,--as-needed)
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${version_script} LINKER_LANGUAGE CXX)
endfunction()
