# Optimised builds are what gets installed and packaged: they carry the hardening Debian builds its
# own packages with (dpkg-buildflags with hardening=+all), so lintian finds nothing missing.
set(optimised "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>>")
add_compile_options("$<${optimised}:-fstack-protector-strong>")
add_compile_definitions("$<${optimised}:_FORTIFY_SOURCE=2>")
add_link_options("$<${optimised}:LINKER:-z,relro,-z,now>")
