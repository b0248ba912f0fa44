# Where the Visual C++ 2008 runtime packages are downloaded from when a machine lacks them: the vendor's
# published locations by default. Each URL is plain http and must end in the package's file name, since
# the downloaded file is stored and started under that name.
#
#   cmake -DVODA_VCREDIST_X86_URL=http://127.0.0.1:8080/vcredist_x86.exe ...
set(VODA_VCREDIST_X86_URL
    "http://download.microsoft.com/download/1/1/1/1116b75a-9ec3-481a-a3c8-1777b5381140/vcredist_x86.exe"
    CACHE STRING "Download URL of the x86 Visual C++ 2008 runtime package (ends in vcredist_x86.exe)")
set(VODA_VCREDIST_X64_URL
    "http://download.microsoft.com/download/d/2/4/d242c3fb-da5a-4542-ad66-f9661d0a8d19/vcredist_x64.exe"
    CACHE STRING "Download URL of the x64 Visual C++ 2008 runtime package (ends in vcredist_x64.exe)")

foreach(arch x86 x64)
  string(TOUPPER ${arch} ARCH)
  set(url "${VODA_VCREDIST_${ARCH}_URL}")
  if(NOT url MATCHES "^http://[^/]+/(.*/)?vcredist_${arch}\\.exe$")
    message(FATAL_ERROR "VODA_VCREDIST_${ARCH}_URL must be an http URL ending in /vcredist_${arch}.exe: ${url}")
  endif()
  if(url MATCHES "[\"\\\\]")
    message(FATAL_ERROR "VODA_VCREDIST_${ARCH}_URL must not contain quotes or backslashes: ${url}")
  endif()
endforeach()

# Compiles the configured URLs into the source file that holds the package table.
function(voda_runtime_package_urls source)
  set_property(SOURCE ${source} APPEND PROPERTY COMPILE_DEFINITIONS
               "VODA_VCREDIST_X86_URL=\"${VODA_VCREDIST_X86_URL}\""
               "VODA_VCREDIST_X64_URL=\"${VODA_VCREDIST_X64_URL}\"")
endfunction()
