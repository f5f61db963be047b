# The FFmpeg libraries for Windows builds: static libraries made by scripts/build-ffmpeg-windows.sh
# from Debian's FFmpeg source package, found under MPG_FFMPEG_PREFIX (its include/ and lib/).
# Defines the interface target mpg_ffmpeg: libavfilter, libswscale (its scale filter), libavcodec
# and libavutil in link order, with the system libraries they call.
if(TARGET mpg_ffmpeg)
  return()
endif()
set(MPG_FFMPEG_PREFIX "" CACHE PATH "FFmpeg for Windows (scripts/build-ffmpeg-windows.sh prints it)")
if(NOT MPG_FFMPEG_PREFIX OR NOT EXISTS "${MPG_FFMPEG_PREFIX}/include/libavcodec/avcodec.h")
  message(FATAL_ERROR "MPG_FFMPEG_PREFIX must name the FFmpeg build for Windows "
                      "(run scripts/build-ffmpeg-windows.sh)")
endif()
add_library(mpg_ffmpeg INTERFACE)
target_include_directories(mpg_ffmpeg SYSTEM INTERFACE "${MPG_FFMPEG_PREFIX}/include")
foreach(lib avfilter swscale avcodec avutil)
  target_link_libraries(mpg_ffmpeg INTERFACE "${MPG_FFMPEG_PREFIX}/lib/lib${lib}.a")
endforeach()
# bcrypt: libavutil's random seed; ole32 and user32: libavcodec's and libavutil's Windows calls.
target_link_libraries(mpg_ffmpeg INTERFACE bcrypt ole32 user32)
