# pelvoran_epoch(<out> <year> <month> <day> <hours> <minutes> <seconds>):
# seconds since 1970 of that moment in UTC. Read when CMake configures
# (the changelog's date) and when cpack makes the packages (the package's
# revision). Days from the civil date as in
# https://howardhinnant.github.io/date_algorithms.html#days_from_civil.
function(pelvoran_epoch out year month day hours minutes seconds)
    if(month LESS_EQUAL 2)
        math(EXPR year "${year} - 1")
        math(EXPR shifted_month "${month} + 9")
    else()
        math(EXPR shifted_month "${month} - 3")
    endif()
    math(EXPR era "${year} / 400")
    math(EXPR year_of_era "${year} - ${era} * 400")
    math(EXPR day_of_year "(153 * ${shifted_month} + 2) / 5 + ${day} - 1")
    math(EXPR day_of_era
        "${year_of_era} * 365 + ${year_of_era} / 4 - ${year_of_era} / 100 + ${day_of_year}")
    math(EXPR days "${era} * 146097 + ${day_of_era} - 719468")
    math(EXPR epoch "${days} * 86400 + ${hours} * 3600 + ${minutes} * 60 + ${seconds}")
    set(${out} ${epoch} PARENT_SCOPE)
endfunction()
