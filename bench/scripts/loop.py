i = 0
total = 0
while i < 10000000:
    total = total + i
    i = i + 1
