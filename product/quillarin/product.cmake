# Build-side settings of the Quillarin updater.
set(PRODUCT_EXE_NAME QuillarinUpdate)
