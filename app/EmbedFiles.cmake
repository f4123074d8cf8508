# cmake -DOUT=<file.cpp> -DAZ=<azimuth jpeg> -DEL=<elevation jpeg> -P EmbedFiles.cmake
# Writes the two built-in dial pictures as byte arrays.
function(zk_bytes var file)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" n)
  math(EXPR n "${n} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" hex "${hex}")
  set(${var} "${hex}" PARENT_SCOPE)
  set(${var}_SIZE ${n} PARENT_SCOPE)
endfunction()
zk_bytes(az ${AZ})
zk_bytes(el ${EL})
file(WRITE ${OUT}.tmp
"// Generated from data/Dial_AZ.jpg and data/Dial_EL.jpg; do not edit.
#include \"app/DialPictures.h\"
namespace {
const unsigned char Az[${az_SIZE}] = {
${az}};
const unsigned char El[${el_SIZE}] = {
${el}};
} // namespace
DialJpeg AzimuthDialJpeg() { return {Az, sizeof Az}; }
DialJpeg ElevationDialJpeg() { return {El, sizeof El}; }
")
file(RENAME ${OUT}.tmp ${OUT})
