def f(x):
    return x + 1
i = 0
while i < 1000000:
    i = f(i)
