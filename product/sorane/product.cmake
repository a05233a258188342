# Build-side settings of the Sorane updater.
set(PRODUCT_EXE_NAME SoraneUpdate)
