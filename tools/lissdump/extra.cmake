# Records are decoded with libmseed, independently of our encoder.
target_link_libraries(lissdump PRIVATE mseed)
