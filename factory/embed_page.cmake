# Writes OUT: a C++ file that holds the page IN as the array NAME (namespace
# vekfactory), so the program serves its page without reading a file.
file(READ ${IN} page)
if(page MATCHES "\\)vekpage\"")
  message(FATAL_ERROR "${IN} holds the raw string's closing delimiter")
endif()
file(WRITE ${OUT}.new "// Made from ${IN} at build time.\nnamespace vekfactory {\nextern const char ${NAME}[];\nconst char ${NAME}[] = R\"vekpage(${page})vekpage\";\n}  // namespace vekfactory\n")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
