# Writes OUT: a C++ file that holds the page IN as the array NAME (in the
# namespace NAMESPACE), so the program serves its page without reading a file.
file(READ ${IN} page)
if(page MATCHES "\\)vekpage\"")
  message(FATAL_ERROR "${IN} holds the raw string's closing delimiter")
endif()
file(WRITE ${OUT}.new "// Made from ${IN} at build time.\nnamespace ${NAMESPACE} {\nextern const char ${NAME}[];\nconst char ${NAME}[] = R\"vekpage(${page})vekpage\";\n}  // namespace ${NAMESPACE}\n")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
