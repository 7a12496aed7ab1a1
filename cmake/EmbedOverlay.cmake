# cmake -DPAGE=overlay.html -DBELL=bell.wav -DOUT=OverlayPage.cpp -P EmbedOverlay.cmake
# Writes the overlay page, with the bell inlined as a data URI, as a C++ string: the page is one
# self-contained answer and the server needs no file at run time.
execute_process(COMMAND base64 -w0 ${BELL} OUTPUT_VARIABLE bell RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read ${BELL}")
endif()
file(READ ${PAGE} page)
string(REPLACE "BRANNOC_BELL_URI" "data:audio/wav;base64,${bell}" page "${page}")
file(WRITE ${OUT}.new "// Made from ${PAGE} by cmake/EmbedOverlay.cmake.\n#include <string_view>\nnamespace overlay {\n"
                      "std::string_view page() {\n    static constexpr std::string_view text = R\"brannoc_page(${page})brannoc_page\";\n"
                      "    return text;\n}\n} // namespace overlay\n")
file(RENAME ${OUT}.new ${OUT})
