# Drawing writes PNG files through libpng.
find_package(PNG REQUIRED)
target_link_libraries(vornrt PRIVATE PNG::PNG)
