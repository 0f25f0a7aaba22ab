# Turns the page's files into a C++ source holding them, for vornweb to serve
# from memory:
#   cmake -DSOURCE_DIR=DIR -DFILES=a.html|b.js -DOUTPUT=page_files.cc -P embed_page.cmake
# FILES are names relative to DIR, separated by "|". Each becomes an entry
# of kPageFiles (page_files.h): its path "/NAME", its content type by its
# extension, and its bytes.
string(REPLACE "|" ";" files "${FILES}")
set(types_html "text/html; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_svg "image/svg+xml")
set(types_png "image/png")
set(types_json "application/json")

set(arrays "")
set(entries "")
set(n 0)
foreach(name ${files})
  get_filename_component(ext ${name} LAST_EXT)
  string(SUBSTRING "${ext}" 1 -1 ext)
  string(TOLOWER "${ext}" ext)
  if(NOT DEFINED types_${ext})
    message(FATAL_ERROR "embed_page: no content type for ${name}")
  endif()
  file(READ ${SOURCE_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  # 24 bytes a line.
  string(REGEX REPLACE "(................................................)"
         "\\1\n" hex "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  # A trailing zero keeps an empty file's array legal; it is not counted.
  string(APPEND arrays "// ${name}\nconst unsigned char kFile${n}[] = {\n${hex}0};\n\n")
  string(APPEND entries "    {\"/${name}\", \"${types_${ext}}\", kFile${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()

string(CONCAT text "// Generated from the page's files by hosts/web/embed_page.cmake.\n"
         "#include \"hosts/web/page_files.h\"\n\nnamespace vornweb {\nnamespace {\n\n"
         "${arrays}}  // namespace\n\n"
         "const PageFile kPageFiles[] = {\n${entries}};\n"
         "const size_t kPageFileCount = ${n};\n\n}  // namespace vornweb\n")
# Written only when it changed, so that nothing rebuilds needlessly.
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
